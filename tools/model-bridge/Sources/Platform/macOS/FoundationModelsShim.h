/* The C interface of the Swift unit (FoundationModelsShim.swift) that reaches the system's
 * on-device language model. It is all the C++ side sees of it. Texts are UTF-8 with explicit
 * lengths, so a NUL inside a prompt or an answer travels unchanged. */
#ifndef QOR_FOUNDATION_MODELS_SHIM_H
#define QOR_FOUNDATION_MODELS_SHIM_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the default system model can be used now (false below macOS 26). */
bool qor_fm_model_available(void);

/* Whether the default system model works in the language of this locale identifier. */
bool qor_fm_supports_locale(const char* identifier, intptr_t identifierLength);

/* Whether the default system model takes images in a prompt: false below macOS 27 and in a bridge
 * built with an SDK without image attachments. */
bool qor_fm_model_takes_images(void);

/* Whether ImageIO can make an image of these bytes, as the attachment of qor_fm_respond needs. */
bool qor_fm_image_is_readable(const uint8_t* bytes, intptr_t length);

enum { QOR_FM_ANSWER = 0, QOR_FM_FAILURE = 1 };

/* One request in a new session with no tools, no instructions and default generation options:
 * the prompt text, then one image attachment per image file (its bytes), in order. Blocks until
 * the model has answered or failed; on the main thread the wait serves the main run loop and the
 * main dispatch queue. Returns QOR_FM_ANSWER with the answer in *text, or
 * QOR_FM_FAILURE with the unqualified name of the failure's type in *text. Either way *text holds
 * *textLength bytes (not terminated) that the caller releases with qor_fm_free. */
int qor_fm_respond(const char* prompt, intptr_t promptLength, const uint8_t* const* imageBytes,
                   const intptr_t* imageLengths, intptr_t imageCount, char** text,
                   intptr_t* textLength);

void qor_fm_free(char* text);

#ifdef __cplusplus
}
#endif

#endif
