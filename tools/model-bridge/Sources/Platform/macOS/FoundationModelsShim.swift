// The system's on-device language model behind the C functions of FoundationModelsShim.h. Only
// platform operations live here; the bridge's C++ core decides statuses and output.
//
// The program's oldest system is older than the framework's image attachments, so every entry
// point checks for macOS 27 and reports an unavailable model below it.

import CoreFoundation
import CoreGraphics
import Foundation
import FoundationModels
import ImageIO

/// ImageIO could not make an image of the bytes. The core asks qor_fm_image_is_readable before the
/// call, so this is only a last resort.
struct UnreadableImage: Error {}

/// The system is older than the framework's image attachments.
struct ModelUnavailable: Error {}

@_cdecl("qor_fm_model_available")
public func qorFMModelAvailable() -> Bool {
    guard #available(macOS 27.0, *) else { return false }
    if case .available = SystemLanguageModel.default.availability { return true }
    return false
}

@_cdecl("qor_fm_supports_locale")
public func qorFMSupportsLocale(_ identifier: UnsafePointer<CChar>?, _ identifierLength: Int) -> Bool {
    guard #available(macOS 27.0, *) else { return false }
    let locale = Locale(identifier: utf8Text(identifier, identifierLength))
    return SystemLanguageModel.default.supportsLocale(locale)
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
    let outcome: Result<String, any Error>
    if #available(macOS 27.0, *) {
        let promptText = utf8Text(prompt, promptLength)
        outcome = Result(catching: {
            let images = try (0..<max(imageCount, 0)).map {
                try imageAttachment(imageBytes?[$0], imageLengths?[$0] ?? 0)
            }
            return try waitForTask { try await respond(to: promptText, with: images) }
        })
    } else {
        outcome = .failure(ModelUnavailable())  // not reached: the core asks for availability first
    }
    switch outcome {
    case .success(let answer):
        hand(answer, text, textLength)
        return 0
    case .failure(let error):
        hand(String(describing: type(of: error)), text, textLength)
        return 1
    }
}

@_cdecl("qor_fm_free")
public func qorFMFree(_ text: UnsafeMutablePointer<CChar>?) {
    text?.deallocate()
}

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
