// stb_image compiled into the bridge, where no packaged library build of it exists (macOS): only
// the header checks are used, so every decoder stays in but nothing is written.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#include <stb_image.h>
