#include "shell/splash_image.h"

#include <QFile>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return; the
// default one ends the process. Ours jumps back to the decoder instead.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    bool warned;
};

[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    auto *manager = reinterpret_cast<ErrorManager *>(cinfo->err);
    std::longjmp(manager->jump, 1);
}

void emitMessage(j_common_ptr cinfo, int level)
{
    // Level -1 is a warning about corrupt data, which libjpeg would paper over.
    if (level < 0)
        reinterpret_cast<ErrorManager *>(cinfo->err)->warned = true;
}

void outputMessage(j_common_ptr) {}

// A crafted progressive file can hold thousands of tiny scans, each costing a
// full pass over the coefficients; no real picture needs more than a few dozen.
void progressMonitor(j_common_ptr cinfo)
{
    auto *decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (decompress->input_scan_number > kMaxScans)
        errorExit(cinfo);
}

// Only plain C data lives in this frame, since longjmp skips destructors; out
// is sized by the caller once the header has been read.
bool decodeInto(const unsigned char *data, unsigned long size, QByteArray *out, int *width,
                int *height)
{
    jpeg_decompress_struct cinfo;
    ErrorManager errors;
    jpeg_progress_mgr progress;
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = errorExit;
    errors.base.emit_message = emitMessage;
    errors.base.output_message = outputMessage;
    errors.warned = false;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    progress.progress_monitor = progressMonitor;
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, data, size);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK)
        errorExit(reinterpret_cast<j_common_ptr>(&cinfo));
    if (cinfo.image_width == 0 || cinfo.image_height == 0
        || static_cast<long>(cinfo.image_width) * static_cast<long>(cinfo.image_height) > kMaxPixels)
        errorExit(reinterpret_cast<j_common_ptr>(&cinfo));
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_components != 3)
        errorExit(reinterpret_cast<j_common_ptr>(&cinfo));
    const qsizetype rowBytes = static_cast<qsizetype>(cinfo.output_width) * 3;
    out->resize(rowBytes * cinfo.output_height);
    auto *base = reinterpret_cast<unsigned char *>(out->data());
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = base + rowBytes * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    const bool clean = !errors.warned;
    jpeg_destroy_decompress(&cinfo);
    return clean;
}

} // namespace

DecodedImage decodeJpeg(const QByteArray &jpegBytes)
{
    DecodedImage image;
    if (jpegBytes.isEmpty())
        return image;
    QByteArray rgb;
    int width = 0;
    int height = 0;
    if (!decodeInto(reinterpret_cast<const unsigned char *>(jpegBytes.constData()),
                    static_cast<unsigned long>(jpegBytes.size()), &rgb, &width, &height))
        return image;
    image.width = width;
    image.height = height;
    image.rgb = rgb;
    return image;
}

QByteArray splashJpeg()
{
    QFile file(QStringLiteral(":/resources/splash.jpg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
