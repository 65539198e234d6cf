// The splash picture decoder on any bytes: it either refuses them (an empty
// image) or gives an RGB image whose buffer holds exactly width x height pixels,
// within the pixel bound, and it never lets libjpeg end the process.

#include "fuzz_check.h"

#include "shell/splash_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const DecodedImage image = decodeJpeg(fuzzBytes(data, size));
    if (image.width == 0) {
        FUZZ_CHECK(image.height == 0 && image.rgb.isEmpty());
        return 0;
    }
    FUZZ_CHECK(image.width > 0 && image.height > 0);
    FUZZ_CHECK(static_cast<long>(image.width) * image.height <= kMaxPixels);
    FUZZ_CHECK(image.rgb.size() == static_cast<qsizetype>(image.width) * image.height * 3);
    return 0;
}
