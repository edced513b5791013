// PNG reading and writing for display pictures, through libpng.
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "sim/tools/display_picture.h"
#include "sim/tools/output_file.h"

namespace simtools {

namespace {

struct FileCloser {
    void operator()(FILE *f) const
    {
        if (f) std::fclose(f);
    }
};

void on_png_error(png_structp png, png_const_charp message)
{
    auto *error = static_cast<std::string *>(png_get_error_ptr(png));
    if (error) *error = message;
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// The libpng part alone, so that no C++ object with a destructor lives in a
// frame that longjmp may leave.
bool write_rows(FILE *f, const Image &image, std::string &error)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, on_png_error, on_png_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned y = 0; y < image.height; ++y)
        png_write_row(png, const_cast<png_bytep>(&image.rgb[size_t(y) * image.width * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool read_rows(FILE *f, Image &image, std::string &error)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, on_png_error, on_png_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    // Whatever the file's format, read it as 8-bit RGB.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != size_t(w) * 3 || w > 16384 || h > 16384) {
        error = "unsupported PNG layout";
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    image.width = w;
    image.height = h;
    image.rgb.assign(size_t(w) * h * 3, 0);
    for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, &image.rgb[size_t(y) * w * 3], nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

bool write_png(const std::string &path, const Image &image, std::string &error)
{
    if (image.width == 0 || image.height == 0 || image.rgb.size() != size_t(image.width) * image.height * 3) {
        error = path + ": empty or inconsistent picture";
        return false;
    }
    OutputFile out;
    if (!out.open(path, error)) return false;
    FILE *f = out.file();
    std::string png_error;
    if (!f || !write_rows(f, image, png_error)) {
        error = path + ": cannot write PNG" + (png_error.empty() ? "" : " (" + png_error + ")");
        return false;
    }
    return out.commit(error);
}

bool read_png(const std::string &path, Image &image, std::string &error)
{
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char signature[8];
    if (std::fread(signature, 1, 8, f.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        error = path + ": not a PNG file";
        return false;
    }
    std::rewind(f.get());
    std::string png_error;
    if (!read_rows(f.get(), image, png_error)) {
        error = path + ": unreadable PNG (" + png_error + ")";
        return false;
    }
    return true;
}

}  // namespace simtools
