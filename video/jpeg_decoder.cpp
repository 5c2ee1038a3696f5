#include "video/jpeg_decoder.h"

// libjpeg's headers need size_t and FILE declared first.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <string>

#include <jpeglib.h>

namespace kestrel::video {

namespace {

// libjpeg reports errors through a callback that must not return. It jumps back into the one
// guarded function below, which has no C++ objects whose destructors a jump could skip.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    unsigned long warnings;
};

extern "C" void onError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);  // NOLINT: libjpeg's own layout
    errors->pub.format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

extern "C" void onMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);  // NOLINT: libjpeg's own layout
    if (level < 0) {
        ++errors->warnings;  // corrupt data the decoder works around
    }
}

enum class Stage { Header, Rows };

// Runs one stage of a decode under the error jump. Returns false with the library's message in
// errors->message when libjpeg reports an error; the decompressor is then aborted, ready for the
// next image.
bool runGuarded(jpeg_decompress_struct* info, ErrorManager* errors, Stage stage,
                const unsigned char* jpeg, unsigned long size, unsigned char* pixels,
                unsigned int stride, std::int64_t maxPixels) {
    if (setjmp(errors->jump) != 0) {
        jpeg_abort_decompress(info);
        return false;
    }
    if (stage == Stage::Header) {
        jpeg_mem_src(info, jpeg, size);
        jpeg_read_header(info, TRUE);
        // Full size, best quality; straight into the pixel layout the window draws.
        info->out_color_space = JCS_EXT_BGRX;
        info->dct_method = JDCT_ISLOW;
        info->do_fancy_upsampling = TRUE;
        if (static_cast<std::int64_t>(info->image_width) * info->image_height > maxPixels) {
            (void)std::snprintf(errors->message, sizeof errors->message, "picture too large");
            jpeg_abort_decompress(info);
            return false;
        }
        jpeg_start_decompress(info);
        return true;
    }
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = pixels + static_cast<std::size_t>(info->output_scanline) * stride;
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

}  // namespace

struct JpegDecoder::State {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
};

JpegDecoder::JpegDecoder() : state_(std::make_unique<State>()) {
    state_->info.err = jpeg_std_error(&state_->errors.pub);
    state_->errors.pub.error_exit = onError;
    state_->errors.pub.emit_message = onMessage;
    // Creation only fails when memory runs out, which libjpeg reports through the error jump.
    if (setjmp(state_->errors.jump) != 0) {
        throw std::bad_alloc();
    }
    jpeg_create_decompress(&state_->info);
}

JpegDecoder::~JpegDecoder() {
    jpeg_destroy_decompress(&state_->info);
}

void JpegDecoder::decode(std::span<const std::uint8_t> jpeg, Picture& into) {
    jpeg_decompress_struct* info = &state_->info;
    ErrorManager* errors = &state_->errors;
    errors->warnings = 0;
    if (!runGuarded(info, errors, Stage::Header, jpeg.data(), jpeg.size(), nullptr, 0,
                    kMaxPicturePixels)) {
        throw DecodeError(errors->message);
    }
    into.width = static_cast<int>(info->output_width);
    into.height = static_cast<int>(info->output_height);
    const auto stride = static_cast<unsigned int>(into.bytesPerLine());
    try {
        into.pixels.resize(static_cast<std::size_t>(stride) * info->output_height);
    } catch (...) {
        jpeg_abort_decompress(info);
        throw;
    }
    const bool decoded =
        runGuarded(info, errors, Stage::Rows, nullptr, 0, into.pixels.data(), stride, 0);
    warnings_ += errors->warnings;
    if (!decoded) {
        throw DecodeError(errors->message);
    }
}

}  // namespace kestrel::video
