// Every colour set-up the readers make, as their formats describe it, against the
// picture it sets up: the rows ConvertRow writes must be exactly the picture's
// pixels, and the set-ups whose routine writes wider or narrower pixels than the
// picture has (or reads more than the reader's buffers hold) must fail cleanly.

#include "imaging/ImageLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageStrings.h"
#include "platform/Exceptions.h"

using namespace qv;

namespace {

using Bytes = std::vector<uint8_t>;
using TCS = TColorScheme;

/// Opens the load helpers to the test.
class TSetupProbe : public TImageGraphic {
public:
    using TImageGraphic::ConvertRow;
    using TImageGraphic::SetupBitmap;
};

enum class TOutcome {
    Fits,        ///< converts, writing every bit of the row's pixels and nothing after them
    KeepsAlpha,  ///< fits, but the routine leaves the alpha bytes as they were (no source alpha)
    Refused,     ///< "Color conversion failed. Could not find a proper method."
    ShortSource  ///< the reader's buffers are shorter than the routine reads: an assertion
};

struct TSetup {
    const char* Name;
    TCS Source;
    uint8_t S, SourceSamples;
    TCS Target;
    uint8_t T, TargetSamples;
    size_t Planes;
    TPixelFormat Format;        ///< pfDevice: the colour manager's PlatformPixelFormat, as SetupBitmap
    size_t BufferBytesPerPixel; ///< what the reader's buffers hold per pixel and plane; 0: what the routine reads
    TOutcome Expected;
};

constexpr TOutcome Fits = TOutcome::Fits, KeepsAlpha = TOutcome::KeepsAlpha, Refused = TOutcome::Refused,
                   ShortSource = TOutcome::ShortSource;

const TSetup Setups[] = {
    // PNG: grey, palette, grey + alpha into an 8-bit palette picture, RGB(A) at 8 and 16 bits.
    {"PNG grey 1", TCS::Gray, 1, 1, TCS::Gray, 1, 1, 1, pfDevice, 0, Fits},
    {"PNG grey 2 shown at 4", TCS::Gray, 2, 1, TCS::Gray, 4, 1, 1, pfDevice, 0, Fits},
    {"PNG grey 4", TCS::Gray, 4, 1, TCS::Gray, 4, 1, 1, pfDevice, 0, Fits},
    {"PNG grey 8", TCS::Gray, 8, 1, TCS::Gray, 8, 1, 1, pfDevice, 0, Fits},
    {"PNG grey 16 shown at 8", TCS::Gray, 16, 1, TCS::Gray, 8, 1, 1, pfDevice, 0, Fits},
    {"PNG palette 1", TCS::Indexed, 1, 1, TCS::Indexed, 1, 1, 1, pfDevice, 0, Fits},
    {"PNG palette 2 shown at 4", TCS::Indexed, 2, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"PNG palette 4", TCS::Indexed, 4, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"PNG palette 8", TCS::Indexed, 8, 1, TCS::Indexed, 8, 1, 1, pfDevice, 0, Fits},
    {"PNG grey alpha 8", TCS::GrayAlpha, 8, 1, TCS::Indexed, 8, 1, 1, pf8bit, 0, Fits},
    {"PNG grey alpha 16", TCS::GrayAlpha, 16, 1, TCS::Indexed, 8, 1, 1, pf8bit, 0, Fits},
    {"PNG RGB 8", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"PNG RGB 16", TCS::RGB, 16, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"PNG RGBA 8", TCS::RGBA, 8, 4, TCS::BGRA, 8, 4, 1, pfDevice, 0, Fits},
    {"PNG RGBA 16", TCS::RGBA, 16, 4, TCS::BGRA, 8, 4, 1, pfDevice, 0, Fits},
    // Targets kept at 16 bits write two bytes per sample into 8-bit samples.
    {"grey 16 kept at 16 bits", TCS::Gray, 16, 1, TCS::Gray, 16, 1, 1, pfDevice, 0, Refused},
    {"RGB 16 kept at 16 bits", TCS::RGB, 16, 3, TCS::BGR, 16, 3, 1, pfDevice, 0, Refused},

    // TIFF: the target keeps the source's sample size (16 bits become 8).
    {"TIFF palette 1", TCS::Indexed, 1, 1, TCS::Indexed, 1, 1, 1, pfDevice, 0, Fits},
    {"TIFF palette 4", TCS::Indexed, 4, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"TIFF palette 8", TCS::Indexed, 8, 1, TCS::Indexed, 8, 1, 1, pfDevice, 0, Fits},
    // 2-bit samples kept at 2 bits pack two to a 4-bit pixel; they must be shown at 4 bits.
    {"TIFF palette 2 kept at 2", TCS::Indexed, 2, 1, TCS::Indexed, 2, 1, 1, pfDevice, 0, Refused},
    {"TIFF grey 2 kept at 2", TCS::Gray, 2, 1, TCS::Gray, 2, 1, 1, pfDevice, 0, Refused},
    {"TIFF grey 2 shown at 4", TCS::Gray, 2, 1, TCS::Gray, 4, 1, 1, pfDevice, 0, Fits},
    {"TIFF palette with an extra sample", TCS::GrayAlpha, 8, 2, TCS::Indexed, 8, 2, 1, pf8bit, 0, Fits},
    {"TIFF grey 16", TCS::Gray, 16, 1, TCS::Gray, 8, 1, 1, pfDevice, 0, Fits},
    {"TIFF RGB 8", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF RGB 16", TCS::RGB, 16, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF RGB planar", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    {"TIFF RGBA 8", TCS::RGBA, 8, 4, TCS::BGRA, 8, 4, 1, pfDevice, 0, Fits},
    {"TIFF RGBA 16", TCS::RGBA, 16, 4, TCS::BGRA, 8, 4, 1, pfDevice, 0, Fits},
    {"TIFF CMYK 8", TCS::CMYK, 8, 4, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF CMYK 16", TCS::CMYK, 16, 4, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF CMYK planar", TCS::CMYK, 8, 4, TCS::BGR, 8, 3, 4, pfDevice, 0, Fits},
    {"TIFF Lab 8", TCS::CIELab, 8, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF YCbCr 8", TCS::YCbCr, 8, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    {"TIFF JPEG colour, delivered blue-green-red", TCS::BGR, 8, 3, TCS::BGR, 8, 3, 1, pfDevice, 0, Fits},
    // Grey and CMYK JPEG strips declared blue-green-red as the colour ones are.
    {"TIFF JPEG grey declared BGR", TCS::BGR, 8, 1, TCS::BGR, 8, 1, 1, pfDevice, 1, Refused},
    {"TIFF JPEG CMYK declared BGR", TCS::BGR, 8, 4, TCS::BGR, 8, 4, 1, pfDevice, 4, Refused},

    // Photoshop: colour channels as whole planes.
    {"PSD RGB 8", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    {"PSD RGB 16", TCS::RGB, 16, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    {"PSD RGBA 8", TCS::RGBA, 8, 4, TCS::BGRA, 8, 4, 4, pfDevice, 0, Fits},
    {"PSD RGBA 16", TCS::RGBA, 16, 4, TCS::BGRA, 8, 4, 4, pfDevice, 0, Fits},
    {"PSD CMYK 8", TCS::CMYK, 8, 4, TCS::BGR, 8, 3, 4, pfDevice, 0, Fits},
    {"PSD CMYK 16", TCS::CMYK, 16, 4, TCS::BGR, 8, 3, 4, pfDevice, 0, Fits},
    {"PSD Lab 8", TCS::CIELab, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    // A Lab document with an alpha channel: four samples make a 32-bit picture of 3-byte pixels.
    {"PSD Lab with alpha", TCS::CIELab, 8, 4, TCS::BGR, 8, 4, 4, pfDevice, 0, Refused},

    // PCX: palette pictures, 2 bits shown at 4, 24-bit colour as three planes of a row.
    {"PCX 1 bit", TCS::Indexed, 1, 1, TCS::Indexed, 1, 1, 1, pfDevice, 0, Fits},
    {"PCX 2 bits shown at 4", TCS::Indexed, 2, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"PCX 4 bits", TCS::Indexed, 4, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"PCX 8 bits", TCS::Indexed, 8, 1, TCS::Indexed, 8, 1, 1, pfDevice, 0, Fits},
    {"PCX 24 bits", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},

    // SGI: one plane per channel, 1 or 2 bytes a value, always shown at 8 bits.
    {"SGI RGB 8", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    {"SGI RGB 16", TCS::RGB, 16, 3, TCS::BGR, 8, 3, 3, pfDevice, 0, Fits},
    {"SGI RGBA 8", TCS::RGBA, 8, 4, TCS::BGRA, 8, 4, 4, pfDevice, 0, Fits},
    {"SGI RGBA 16", TCS::RGBA, 16, 4, TCS::BGRA, 8, 4, 4, pfDevice, 0, Fits},

    // RLA: channel buffers of one byte a pixel.
    {"RLA RGB", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 3, pfDevice, 1, Fits},
    {"RLA RGB with matte", TCS::RGBA, 8, 4, TCS::BGRA, 8, 4, 4, pfDevice, 1, Fits},
    // Several matte channels keep three samples, so the picture gets 24 bits for 4-byte pixels.
    {"RLA RGBA with three samples", TCS::RGBA, 8, 3, TCS::BGRA, 8, 3, 4, pfDevice, 1, Refused},
    // More than 8 bits a channel: the byte buffers hold half of what 16-bit samples need.
    {"RLA 16 bits in byte buffers", TCS::RGB, 16, 3, TCS::BGR, 8, 3, 3, pfDevice, 1, ShortSource},

    // Paintshop Pro: red, green, blue and the composite or transparency channel as four planes.
    {"PSP RGB", TCS::RGB, 8, 3, TCS::BGR, 8, 3, 4, pfDevice, 0, Fits},
    {"PSP RGB with transparency", TCS::RGB, 8, 3, TCS::BGRA, 8, 3, 4, pf32bit, 0, KeepsAlpha},
    {"PSP palette 1", TCS::Indexed, 1, 1, TCS::Indexed, 1, 1, 1, pfDevice, 0, Fits},
    {"PSP palette 4", TCS::Indexed, 4, 1, TCS::Indexed, 4, 1, 1, pfDevice, 0, Fits},
    {"PSP palette 8", TCS::Indexed, 8, 1, TCS::Indexed, 8, 1, 1, pfDevice, 0, Fits},
    {"PSP grey 8", TCS::Gray, 8, 1, TCS::Gray, 8, 1, 1, pfDevice, 0, Fits},
};

/// Bits one stored pixel takes in a scan line.
uint64_t StoredBits(TPixelFormat Format) { return Format == pf15bit ? 16 : static_cast<uint64_t>(PixelFormatBits(Format)); }

bool SameBits(const uint8_t* A, const uint8_t* B, uint64_t Bits) {
    for (uint64_t I = 0; I < Bits; ++I)
        if (((A[I / 8] >> (7 - I % 8)) & 1) != ((B[I / 8] >> (7 - I % 8)) & 1)) return false;
    return true;
}

} // namespace

TEST(ReaderSetups, PictureRowsHoldExactlyWhatTheRoutinesWrite) {
    // Odd widths leave packed bits and row padding after the last pixel.
    for (uint32_t Width : {7u, 13u}) {
        for (const TSetup& C : Setups) {
            SCOPED_TRACE(::testing::Message() << C.Name << ", width " << Width);
            TSetupProbe Probe;
            Probe.ImageProperties().Width = Width;
            Probe.ImageProperties().Height = 2;
            TColorManager& Cm = Probe.ColorManager();
            Cm.SetSourceColorScheme(C.Source);
            Cm.SetSourceBitsPerSample(C.S);
            Cm.SetSourceSamplesPerPixel(C.SourceSamples);
            Cm.SetTargetColorScheme(C.Target);
            Cm.SetTargetBitsPerSample(C.T);
            Cm.SetTargetSamplesPerPixel(C.TargetSamples);
            if (C.Format == pfDevice) {
                Probe.SetupBitmap();
            } else {
                Probe.SetPixelFormat(C.Format);
                Probe.SetSize(static_cast<int>(Width), 2);
            }

            // Exactly sized heap buffers, so that a routine reading past them trips the address sanitizer.
            const size_t PlaneBytes = C.BufferBytesPerPixel != 0 ? C.BufferBytesPerPixel * Width
                                                                 : Cm.SourceBytesNeeded(Width, 0xFF, C.Planes);
            std::vector<std::unique_ptr<uint8_t[]>> Planes;
            for (size_t P = 0; P < C.Planes; ++P) {
                Planes.push_back(std::make_unique<uint8_t[]>(PlaneBytes));
                for (size_t I = 0; I < PlaneBytes; ++I) Planes.back()[I] = static_cast<uint8_t>(I * 37 + P * 11 + 5);
            }
            // The first plane may be given shorter than it is.
            auto Convert = [&](size_t FirstPlaneBytes = SIZE_MAX) {
                const std::span<const uint8_t> P0(Planes[0].get(), std::min(FirstPlaneBytes, PlaneBytes));
                switch (C.Planes) {
                case 1: Probe.ConvertRow(P0, 1); break;
                case 3: Probe.ConvertRow({P0, {Planes[1].get(), PlaneBytes}, {Planes[2].get(), PlaneBytes}}, 1); break;
                default:
                    Probe.ConvertRow({P0, {Planes[1].get(), PlaneBytes}, {Planes[2].get(), PlaneBytes},
                                      {Planes[3].get(), PlaneBytes}},
                                     1);
                }
            };
            const uint64_t PixelBits = uint64_t{Width} * StoredBits(Probe.PixelFormat());
            const size_t RowBytes = static_cast<size_t>(Probe.RowBytes());
            auto Fill = [&](uint8_t Value) { std::fill_n(Probe.ScanLine(1), RowBytes, Value); };
            auto Row = [&] { return Bytes(Probe.ScanLine(1), Probe.ScanLine(1) + RowBytes); };

            if (C.Expected == Refused || C.Expected == ShortSource) {
                Fill(0xEE);
                if (C.Expected == Refused) {
                    try {
                        Convert();
                        ADD_FAILURE() << "converted";
                    } catch (const EColorConversionError& E) {
                        EXPECT_EQ(E.Message(), gesConversionUnsupported);
                    }
                } else {
                    EXPECT_THROW(Convert(), EAssertionFailed);
                }
                EXPECT_EQ(Row(), Bytes(RowBytes, 0xEE)) << "nothing is written";
                continue;
            }

            EXPECT_EQ(Cm.TargetBytesNeeded(Width) * 8, (PixelBits + 7) / 8 * 8);
            Fill(0x00);
            ASSERT_NO_THROW(Convert());
            const Bytes Zero = Row();
            Fill(0xFF);
            Convert();
            const Bytes Ones = Row();
            // Bytes after the last pixel's byte are the row's padding: never written.
            for (size_t I = (PixelBits + 7) / 8; I < RowBytes; ++I) {
                EXPECT_EQ(Zero[I], 0x00) << "padding byte " << I;
                EXPECT_EQ(Ones[I], 0xFF) << "padding byte " << I;
            }
            if (C.Expected == Fits) {
                EXPECT_TRUE(SameBits(Zero.data(), Ones.data(), PixelBits)) << "every bit of every pixel is written";
            } else {
                for (uint32_t X = 0; X < Width; ++X) {
                    EXPECT_EQ(Zero[X * 4 + 3], 0x00);
                    EXPECT_EQ(Ones[X * 4 + 3], 0xFF);
                    EXPECT_TRUE(SameBits(Zero.data() + X * 4, Ones.data() + X * 4, 24));
                }
            }

            // A buffer one byte short of what the routine reads is refused before anything is read.
            if (C.BufferBytesPerPixel == 0) {
                EXPECT_THROW(Convert(PlaneBytes - 1), EAssertionFailed);
            }
        }
    }
}
