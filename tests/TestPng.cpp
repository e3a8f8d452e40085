#include "TestPng.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <stdexcept>

#include "TestSupport.h"

namespace qvtest {

namespace {

struct TPngInput {
    const std::vector<uint8_t>* Data = nullptr;
    size_t Position = 0;
};

void ReadFromMemory(png_structp Png, png_bytep Out, png_size_t Count) {
    auto* Input = static_cast<TPngInput*>(png_get_io_ptr(Png));
    if (Count > Input->Data->size() - Input->Position) png_error(Png, "read past the end of the data");
    std::memcpy(Out, Input->Data->data() + Input->Position, Count);
    Input->Position += Count;
}

void RaiseOnError(png_structp Png, png_const_charp Message) {
    auto* Text = static_cast<std::string*>(png_get_error_ptr(Png));
    *Text = Message;
    png_longjmp(Png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

/// The decode itself, free of C++ objects with destructors so that libpng's
/// longjmp leaves nothing behind; answers false with Error set on failure.
bool DecodeWithLibpng(TPngInput& Input, TRgbaImage& Image, std::string& Error) {
    png_structp Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &Error, RaiseOnError, IgnoreWarning);
    if (Png == nullptr) return false;
    png_infop Info = png_create_info_struct(Png);
    if (Info == nullptr || setjmp(png_jmpbuf(Png))) {
        png_destroy_read_struct(&Png, &Info, nullptr);
        return false;
    }
    png_set_read_fn(Png, &Input, ReadFromMemory);
    png_read_info(Png, Info);
    // Plain 8-bit RGBA with no gamma handling: the references are compared sample by sample.
    png_set_expand(Png);
    png_set_strip_16(Png);
    png_set_gray_to_rgb(Png);
    png_set_add_alpha(Png, 0xFF, PNG_FILLER_AFTER);
    const int Passes = png_set_interlace_handling(Png);
    png_read_update_info(Png, Info);
    const png_uint_32 Width = png_get_image_width(Png, Info);
    const png_uint_32 Height = png_get_image_height(Png, Info);
    if (png_get_rowbytes(Png, Info) != size_t{Width} * 4) png_error(Png, "unexpected row layout");
    Image.Width = static_cast<int>(Width);
    Image.Height = static_cast<int>(Height);
    Image.Pixels.assign(size_t{Width} * Height * 4, 0);
    for (int Pass = 0; Pass < Passes; ++Pass)
        for (png_uint_32 Y = 0; Y < Height; ++Y) png_read_row(Png, Image.Pixels.data() + size_t{Y} * Width * 4, nullptr);
    png_read_end(Png, nullptr);
    png_destroy_read_struct(&Png, &Info, nullptr);
    return true;
}

} // namespace

TRgbaImage DecodePng(const std::vector<uint8_t>& Data) {
    TPngInput Input{&Data, 0};
    TRgbaImage Image;
    std::string Error;
    if (!DecodeWithLibpng(Input, Image, Error)) throw std::runtime_error("libpng: " + Error);
    return Image;
}

TRgbaImage ReadPng(const std::string& Path) { return DecodePng(ReadFileBytes(Path)); }

} // namespace qvtest
