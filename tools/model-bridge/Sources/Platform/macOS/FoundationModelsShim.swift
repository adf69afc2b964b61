// The system's on-device language model behind the C functions of FoundationModelsShim.h. Only
// platform operations live here; the bridge's C++ core decides statuses and output.
//
// The program's oldest system is older than the framework: every entry point checks for macOS 26
// (the model, text prompts) and reports an unavailable model below it. Image attachments need macOS
// 27 and an SDK that declares them: the build defines QOR_FM_IMAGE_ATTACHMENTS with the macOS 27
// SDK, and without it the model takes no images.

import CoreFoundation
import CoreGraphics
import Foundation
import FoundationModels
import ImageIO

/// ImageIO could not make an image of the bytes. The core asks qor_fm_image_is_readable before the
/// call, so this is only a last resort.
struct UnreadableImage: Error {}

/// The system is older than the framework.
struct ModelUnavailable: Error {}

/// Images were given to a model that takes none. The core asks qor_fm_model_takes_images before the
/// call, so this is only a last resort.
struct ImagesUnsupported: Error {}

@_cdecl("qor_fm_model_available")
public func qorFMModelAvailable() -> Bool {
    guard #available(macOS 26.0, *) else { return false }
    if case .available = SystemLanguageModel.default.availability { return true }
    return false
}

@_cdecl("qor_fm_supports_locale")
public func qorFMSupportsLocale(_ identifier: UnsafePointer<CChar>?, _ identifierLength: Int) -> Bool {
    guard #available(macOS 26.0, *) else { return false }
    let locale = Locale(identifier: utf8Text(identifier, identifierLength))
    return SystemLanguageModel.default.supportsLocale(locale)
}

@_cdecl("qor_fm_model_takes_images")
public func qorFMModelTakesImages() -> Bool {
#if QOR_FM_IMAGE_ATTACHMENTS
    if #available(macOS 27.0, *) {
        return SystemLanguageModel.default.capabilities.contains(.vision)
    }
#endif
    return false
}

@_cdecl("qor_fm_image_is_readable")
public func qorFMImageIsReadable(_ bytes: UnsafePointer<UInt8>?, _ length: Int) -> Bool {
    return decodedImage(bytes, length) != nil
}

@_cdecl("qor_fm_respond")
public func qorFMRespond(
    _ prompt: UnsafePointer<CChar>?, _ promptLength: Int,
    _ imageBytes: UnsafePointer<UnsafePointer<UInt8>?>?, _ imageLengths: UnsafePointer<Int>?,
    _ imageCount: Int,
    _ text: UnsafeMutablePointer<UnsafeMutablePointer<CChar>?>, _ textLength: UnsafeMutablePointer<Int>
) -> Int32 {
    let promptText = utf8Text(prompt, promptLength)
    let outcome = Result<String, any Error>(catching: {
#if QOR_FM_IMAGE_ATTACHMENTS
        if #available(macOS 27.0, *) {
            let images = try (0..<max(imageCount, 0)).map {
                try imageAttachment(imageBytes?[$0], imageLengths?[$0] ?? 0)
            }
            return try waitForTask { try await respond(to: promptText, with: images) }
        }
#endif
        // Not reached with images or below macOS 26: the core asks qor_fm_model_takes_images and
        // qor_fm_model_available first.
        guard imageCount <= 0 else { throw ImagesUnsupported() }
        guard #available(macOS 26.0, *) else { throw ModelUnavailable() }
        return try waitForTask { try await respond(to: promptText) }
    })
    switch outcome {
    case .success(let answer):
        hand(answer, text, textLength)
        return 0
    case .failure(let error):
        hand(failureTypeName(error), text, textLength)
        return 1
    }
}

@_cdecl("qor_fm_free")
public func qorFMFree(_ text: UnsafeMutablePointer<CChar>?) {
    text?.deallocate()
}

/// The name the host reads for a failed call. Every error the framework throws from the model call
/// is a "GenerationError", the name of its one error type on macOS 26, whatever SDK built the
/// bridge: from the macOS 27 SDK on, the framework throws LanguageModelError,
/// SystemLanguageModel.Error or LanguageModelSession.Error on macOS 27 instead (and still
/// LanguageModelSession.GenerationError on macOS 26). Other errors keep their own type's name.
private func failureTypeName(_ error: any Error) -> String {
    let generationError = "GenerationError"
    if #available(macOS 26.0, *) {
        if error is LanguageModelSession.GenerationError { return generationError }
    }
#if QOR_FM_IMAGE_ATTACHMENTS
    if #available(macOS 27.0, *) {
        if error is LanguageModelError || error is SystemLanguageModel.Error
            || error is LanguageModelSession.Error
        {
            return generationError
        }
    }
#endif
    return String(describing: type(of: error))
}

/// One session on the default model, no tools, no instructions, the text alone.
@available(macOS 26.0, *)
private func respond(to text: String) async throws -> String {
    let session = LanguageModelSession(model: SystemLanguageModel.default, tools: [])
    return try await session.respond(to: text, options: GenerationOptions()).content
}

#if QOR_FM_IMAGE_ATTACHMENTS
/// One session on the default model, no tools, no instructions; the text first, then the images.
@available(macOS 27.0, *)
private func respond(to text: String, with images: [Attachment<ImageAttachmentContent>]) async throws -> String {
    let session = LanguageModelSession(model: SystemLanguageModel.default, tools: [])
    let prompt = Prompt {
        text
        for image in images {
            image
        }
    }
    return try await session.respond(to: prompt, options: GenerationOptions()).content
}

/// The attachment takes the image's Core Graphics form, with no orientation given.
@available(macOS 27.0, *)
private func imageAttachment(_ bytes: UnsafePointer<UInt8>?, _ length: Int) throws -> Attachment<ImageAttachmentContent> {
    guard let image = decodedImage(bytes, length) else { throw UnreadableImage() }
    return Attachment(image)
}
#endif

/// ImageIO reads every format the system decodes. The first image as stored: no orientation
/// applied, no scaling, no representation picked for a screen, so the model sees the file's pixels.
private func decodedImage(_ bytes: UnsafePointer<UInt8>?, _ length: Int) -> CGImage? {
    let data = bytes.map { Data(bytes: $0, count: max(length, 0)) } ?? Data()
    guard let source = CGImageSourceCreateWithData(data as CFData, nil) else { return nil }
    return CGImageSourceCreateImageAtIndex(source, 0, nil)
}

/// The model's answer arrives on a task of its own. On the main thread the wait serves the main run
/// loop and the main dispatch queue, where the frameworks may post work the answer depends on; the
/// task's end is itself posted to the main queue, which also wakes the loop.
private final class TaskOutcome<Value>: @unchecked Sendable {
    var result: Result<Value, any Error>?  // main thread only, when waiting there
    let done = DispatchSemaphore(value: 0)
}

private func waitForTask<Value>(_ operation: @escaping @Sendable () async throws -> Value) throws -> Value {
    let outcome = TaskOutcome<Value>()
    let onMain = Thread.isMainThread
    Task.detached {
        let result: Result<Value, any Error>
        do {
            result = .success(try await operation())
        } catch {
            result = .failure(error)
        }
        if onMain {
            DispatchQueue.main.async {
                outcome.result = result
                CFRunLoopStop(CFRunLoopGetMain())
            }
        } else {
            outcome.result = result
            outcome.done.signal()
        }
    }
    if onMain {
        // A run loop with nothing to wait for returns at once; the timer keeps it waiting.
        let keepAlive = Timer(timeInterval: 3600, repeats: true) { _ in }
        RunLoop.main.add(keepAlive, forMode: .default)
        defer { keepAlive.invalidate() }
        while outcome.result == nil {
            CFRunLoopRun()
        }
    } else {
        outcome.done.wait()
    }
    return try outcome.result!.get()
}

private func utf8Text(_ bytes: UnsafePointer<CChar>?, _ length: Int) -> String {
    guard let bytes, length > 0 else { return "" }
    return bytes.withMemoryRebound(to: UInt8.self, capacity: length) {
        String(decoding: UnsafeBufferPointer(start: $0, count: length), as: UTF8.self)
    }
}

/// The caller releases the copy with qor_fm_free.
private func hand(_ string: String, _ text: UnsafeMutablePointer<UnsafeMutablePointer<CChar>?>,
                  _ textLength: UnsafeMutablePointer<Int>) {
    let bytes = string.utf8.map { CChar(bitPattern: $0) }
    let copy = UnsafeMutablePointer<CChar>.allocate(capacity: max(bytes.count, 1))
    copy.initialize(from: bytes, count: bytes.count)
    text.pointee = copy
    textLength.pointee = bytes.count
}
