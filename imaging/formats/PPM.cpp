#include "imaging/formats/PPM.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPPMGraphic, TImageGraphic)

namespace {

// Binary samples take two bytes, most significant first, above this maximum value.
constexpr uint32_t MaxByteValue = 255;
constexpr uint32_t MaxSampleValue = 65535;

[[noreturn]] void RaiseReadError() { RaiseInvalidGraphicFmt(gesStreamReadError, gesPPMFormat); }

bool IsDigit(uint8_t C) { return static_cast<uint8_t>(C - '0') <= 9; }

bool IsBitmap(int Type) { return Type == 1 || Type == 4; }
bool IsPixmap(int Type) { return Type == 3 || Type == 6; }
bool IsText(int Type) { return Type <= 3; }

uint32_t SamplesOf(int Type) { return IsPixmap(Type) ? 3 : 1; }

/// Bytes of one row as the colour manager takes it (and as P4 stores it).
uint64_t RowBytesOf(int Type, uint32_t Width) {
    if (IsBitmap(Type)) return (uint64_t{Width} + 7) / 8;
    return uint64_t{Width} * SamplesOf(Type);
}

/// Product that saturates instead of wrapping.
uint64_t SaturatingProduct(uint64_t A, uint64_t B) {
    uint64_t Result = 0;
    return __builtin_mul_overflow(A, B, &Result) ? std::numeric_limits<uint64_t>::max() : Result;
}

} // namespace

bool TPPMGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    bool Result = false;
    if (Stream.Remaining() > 10) {
        uint8_t Magic[2] = {};
        Result = Stream.Read(Magic, 2) == 2 && Magic[0] == 'P' && Magic[1] >= '1' && Magic[1] <= '6';
    }
    Stream.SetPosition(Start);
    return Result;
}

void TPPMGraphic::ResetBuffer(TStream& Stream) {
    FSource = &Stream;
    FIndex = 0;
    FCount = 0;
}

bool TPPMGraphic::Refill() {
    FIndex = 0;
    FCount = static_cast<size_t>(std::max<int64_t>(0, FSource->Read(FBuffer.data(), BufferSize)));
    return FCount != 0;
}

uint64_t TPPMGraphic::BytesLeft() const { return (FCount - FIndex) + static_cast<uint64_t>(FSource->Remaining()); }

uint8_t TPPMGraphic::GetChar() {
    if (FIndex == FCount && !Refill()) RaiseReadError();
    return FBuffer[FIndex++];
}

void TPPMGraphic::SkipComment() {
    for (;;) {
        if (FIndex == FCount && !Refill()) return; // a comment may end the file
        const uint8_t C = FBuffer[FIndex++];
        if (C == '\n') return;
        if (C == '\r') {
            if ((FIndex < FCount || Refill()) && FBuffer[FIndex] == '\n') ++FIndex;
            return;
        }
    }
}

uint32_t TPPMGraphic::ReadNumber() {
    for (;;) {
        const uint8_t C = GetChar();
        if (IsDigit(C)) {
            --FIndex;
            break;
        }
        if (C == '#') SkipComment();
    }
    // A number grows until its first non-digit; past the 32-bit range it stays at
    // the largest value, so a size check fails instead of a wrapped size passing.
    constexpr uint64_t Saturated = std::numeric_limits<uint32_t>::max();
    uint64_t Value = 0;
    for (;;) {
        if (FIndex == FCount && !Refill()) break; // the true end ends a number
        const uint8_t Digit = static_cast<uint8_t>(FBuffer[FIndex++] - '0');
        if (Digit > 9) break;
        Value = std::min(Value * 10 + Digit, Saturated);
    }
    return static_cast<uint32_t>(Value);
}

uint8_t TPPMGraphic::ReadBit() {
    // Plain bitmap writers put the digits next to each other: one digit, one pixel.
    for (;;) {
        const uint8_t C = GetChar();
        if (C == '0' || C == '1') return static_cast<uint8_t>(C - '0');
        if (IsDigit(C)) RaiseReadError();
        if (C == '#') SkipComment();
    }
}

void TPPMGraphic::ReadBlock(uint8_t* Dest, size_t Count) {
    const size_t Buffered = std::min(Count, FCount - FIndex);
    std::memcpy(Dest, FBuffer.data() + FIndex, Buffered);
    FIndex += Buffered;
    Count -= Buffered;
    if (Count == 0) return;
    // Binary data is read straight from the stream once the read-ahead is used up:
    // nothing after it needs the buffer.
    for (uint8_t* At = Dest + Buffered; Count > 0;) {
        const int64_t Got = FSource->Read(At, static_cast<int64_t>(Count));
        if (Got <= 0) RaiseReadError();
        At += Got;
        Count -= static_cast<size_t>(Got);
    }
}

bool TPPMGraphic::ReadHeader(TStream& Stream, THeader& Header) {
    ResetBuffer(Stream);
    if (BytesLeft() == 0 || GetChar() != 'P') return false;
    const uint8_t Digit = FIndex < FCount || Refill() ? FBuffer[FIndex++] : 0;
    // A letter where the type digit belongs is not a number at all.
    Header.Type = StrToInt(Digit == 0 ? std::string() : std::string(1, static_cast<char>(Digit)));
    if (Header.Type < 1 || Header.Type > 6) return false;
    // The numbers may follow on the magic's own line ("P6 33 17 255").
    Header.Width = ReadNumber();
    Header.Height = ReadNumber();
    Header.MaxValue = IsBitmap(Header.Type) ? 1 : ReadNumber();
    return Header.MaxValue != 0 && Header.MaxValue <= MaxSampleValue;
}

bool TPPMGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    THeader Header;
    const bool Known = ReadHeader(Stream, Header);
    TImageProperties& Properties = ImageProperties();
    Properties.Compression = TCompressionScheme::None;
    if (!Known) return false;
    Properties.Width = Header.Width;
    Properties.Height = Header.Height;
    Properties.ColorScheme = IsPixmap(Header.Type) ? TColorScheme::RGB : TColorScheme::Indexed;
    Properties.BitsPerSample = IsBitmap(Header.Type) ? 1 : 8;
    Properties.SamplesPerPixel = static_cast<uint8_t>(SamplesOf(Header.Type));
    Properties.BitsPerPixel = static_cast<uint8_t>(Properties.BitsPerSample * Properties.SamplesPerPixel);
    return true;
}

void TPPMGraphic::ReadTextRow(const THeader& Header, std::span<uint8_t> Row, const std::vector<uint8_t>& Scale) {
    if (IsBitmap(Header.Type)) {
        std::fill(Row.begin(), Row.end(), 0);
        for (uint32_t X = 0; X < Header.Width; ++X)
            Row[X / 8] = static_cast<uint8_t>(Row[X / 8] | (ReadBit() << (7 - X % 8)));
        return;
    }
    for (uint8_t& Sample : Row) Sample = Scale[std::min(ReadNumber(), Header.MaxValue)];
}

void TPPMGraphic::ReadBinaryRow(const THeader& Header, std::span<uint8_t> Row, std::vector<uint8_t>& Raw,
                                const std::vector<uint8_t>& Scale) {
    if (Header.MaxValue > MaxByteValue) {
        ReadBlock(Raw.data(), Raw.size());
        for (size_t I = 0; I < Row.size(); ++I) {
            const uint32_t Value = (uint32_t{Raw[2 * I]} << 8) | Raw[2 * I + 1];
            Row[I] = Scale[std::min(Value, Header.MaxValue)];
        }
        return;
    }
    ReadBlock(Row.data(), Row.size());
    if (IsBitmap(Header.Type) || Header.MaxValue == MaxByteValue) return;
    for (uint8_t& Sample : Row) Sample = Scale[std::min<uint32_t>(Sample, Header.MaxValue)];
}

void TPPMGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesPortableMapFormats);
    THeader Header;
    if (!ReadHeader(Stream, Header)) RaiseInvalidGraphicFmt(gesInvalidImage, gesPortableMapFormats);

    // Nothing is allocated for data that cannot be in the file: binary rasters
    // must be there whole, text needs at least one byte per sample.
    const uint64_t RowBytes = RowBytesOf(Header.Type, Header.Width);
    const uint64_t SampleBytes = !IsBitmap(Header.Type) && Header.MaxValue > MaxByteValue ? 2 : 1;
    const uint64_t Needed = IsText(Header.Type)
                                ? SaturatingProduct(SaturatingProduct(Header.Width, Header.Height), SamplesOf(Header.Type))
                                : SaturatingProduct(SaturatingProduct(RowBytes, SampleBytes), Header.Height);
    if (Needed > BytesLeft()) RaiseReadError();

    StartProgress(gesTransfering);
    TColorManager& Colors = ColorManager();
    const uint8_t Bits = IsBitmap(Header.Type) ? 1 : 8;
    const uint8_t Samples = static_cast<uint8_t>(SamplesOf(Header.Type));
    Colors.SetSourceBitsPerSample(Bits);
    Colors.SetTargetBitsPerSample(Bits);
    Colors.SetSourceSamplesPerPixel(Samples);
    Colors.SetTargetSamplesPerPixel(Samples);
    Colors.SetSourceColorScheme(IsPixmap(Header.Type) ? TColorScheme::RGB : TColorScheme::Indexed);
    Colors.SetTargetColorScheme(IsPixmap(Header.Type) ? TColorScheme::BGR : TColorScheme::Indexed);
    SetupBitmap();
    // Bitmaps: 0 is white and 1 black; gray maps: entry i is gray level i.
    if (!IsPixmap(Header.Type)) SetPalette(Colors.CreateGrayPalette(IsBitmap(Header.Type)));

    const std::vector<uint8_t> Scale = IsBitmap(Header.Type) ? std::vector<uint8_t>() : SampleScaleTable(Header.MaxValue);
    // Bitmap and gray rows are stored as the picture keeps them and go straight
    // into its scan lines; pixel rows are reordered to blue, green, red on the way.
    const bool Direct = !IsPixmap(Header.Type);
    std::vector<uint8_t> Row(Direct ? 0 : static_cast<size_t>(RowBytes));
    std::vector<uint8_t> Raw(SampleBytes == 2 ? static_cast<size_t>(RowBytes) * 2 : 0);
    for (uint32_t Y = 0; Y < Header.Height; ++Y) {
        const std::span<uint8_t> Target =
            Direct ? std::span<uint8_t>(ScanLine(static_cast<int>(Y)), static_cast<size_t>(RowBytes)) : std::span<uint8_t>(Row);
        if (IsText(Header.Type))
            ReadTextRow(Header, Target, Scale);
        else
            ReadBinaryRow(Header, Target, Raw, Scale);
        if (!Direct) ConvertRow(Row, static_cast<int>(Y));
        RowProgress(Y);
    }
    EndProgress();
}

} // namespace qv
