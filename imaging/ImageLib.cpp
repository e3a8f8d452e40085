#include "imaging/ImageLib.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "imaging/formats/Registration.h"
#include "platform/System.h"

namespace qv {

// --- TImageGraphic ----------------------------------------------------------------------------

QV_DEFINE_GRAPHIC_CLASS(TImageGraphic, TBitmap)

TImageGraphic::TImageGraphic() : FColorManager(std::make_unique<TColorManager>()) {}

TImageGraphic::~TImageGraphic() = default;

void TImageGraphic::Assign(const TGraphic* Source) {
    if (const auto* Other = dynamic_cast<const TImageGraphic*>(Source)) FImageProperties = Other->FImageProperties;
    TBitmap::Assign(Source);
}

bool TImageGraphic::CanLoadStream(TStream&) const { return false; }

namespace {

/// Asks a reader about the stream, keeping the stream's position; data too short
/// to hold the reader's signature is simply not of its format.
bool AskReader(const TImageGraphic& Reader, TStream& Stream) {
    const int64_t Start = Stream.Position();
    bool Result = false;
    try {
        Result = Reader.CanLoadStream(Stream);
    } catch (const EReadError&) {
        Result = false;
    }
    Stream.SetPosition(Start);
    return Result;
}

std::unique_ptr<TGraphic> MakeInstance(TGraphicClass Class) {
    if (Class == nullptr || Class->Create == nullptr) return nullptr;
    return Class->Create();
}

} // namespace

bool TImageGraphic::CanLoadFile(const std::string& FileName) const {
    TFileStream Stream(FileName, TFileMode::OpenRead);
    return AskReader(*this, Stream);
}

bool TImageGraphic::CanLoadStream(TGraphicClass Class, TStream& Stream) {
    const std::unique_ptr<TGraphic> Instance = MakeInstance(Class);
    const auto* Reader = dynamic_cast<const TImageGraphic*>(Instance.get());
    return Reader != nullptr && AskReader(*Reader, Stream);
}

bool TImageGraphic::CanLoadFile(TGraphicClass Class, const std::string& FileName) {
    const std::unique_ptr<TGraphic> Instance = MakeInstance(Class);
    const auto* Reader = dynamic_cast<const TImageGraphic*>(Instance.get());
    return Reader != nullptr && Reader->CanLoadFile(FileName);
}

bool TImageGraphic::ReadImageProperties(TStream&, uint32_t) {
    FImageProperties.Reset();
    return false;
}

namespace {

/// Bits one pixel occupies in a scan line: 5-5-5 pixels take a word, device and
/// custom pictures are kept at 32 bits.
uint64_t StoredPixelBits(TPixelFormat Format) {
    switch (Format) {
    case pf15bit: return 16;
    case pfDevice:
    case pfCustom: return 32;
    default: return static_cast<uint64_t>(PixelFormatBits(Format));
    }
}

} // namespace

bool TImageGraphic::BeginLoad(TStream& Stream, uint32_t ImageIndex) {
    FreeImage();
    // Every file starts from the colour manager's defaults: no gamma, options or
    // sample sizes carried over from the previous file loaded into this object.
    FColorManager->Reset();
    FBasePosition = Stream.Position();
    const bool Result = ReadImageProperties(Stream, ImageIndex);
    Stream.SetPosition(FBasePosition);
    return Result;
}

void TImageGraphic::BeginLoadOrRaise(TStream& Stream, const std::string& FormatName, uint32_t ImageIndex) {
    if (!BeginLoad(Stream, ImageIndex)) RaiseInvalidGraphicFmt(gesInvalidImage, FormatName.c_str());
}

void TImageGraphic::SetupBitmap() {
    const uint32_t W = FImageProperties.Width;
    const uint32_t H = FImageProperties.Height;
    if (W > static_cast<uint32_t>(MaxSide) || H > static_cast<uint32_t>(MaxSide))
        RaiseInvalidGraphicFmt(gesPictureTooLarge, W, H, MaxSide);
    SetPixelFormat(FColorManager->PlatformPixelFormat(true));
    SetSize(static_cast<int>(W), static_cast<int>(H));
}

void TImageGraphic::StartProgress(const std::string& Caption) {
    const uint32_t W = std::min<uint32_t>(FImageProperties.Width, std::numeric_limits<int32_t>::max());
    FProgressRect = Rect(0, 0, static_cast<int32_t>(W), 1);
    Progress(psStarting, 0, false, FProgressRect, Caption);
}

void TImageGraphic::PercentProgress(uint32_t Done, uint32_t Total) {
    uint8_t Percent = 0;
    if (Total != 0) {
        const uint64_t Value = (uint64_t{std::min(Done, Total)} * 100 * 2 + Total) / (uint64_t{Total} * 2);
        Percent = static_cast<uint8_t>(Value);
    }
    Progress(psRunning, Percent, true, FProgressRect, "");
}

void TImageGraphic::RowProgress(uint32_t Row) {
    const uint32_t H = FImageProperties.Height;
    uint8_t Percent = 0;
    if (H != 0 && H <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        Percent = static_cast<uint8_t>(
            std::clamp(MulDiv(static_cast<int32_t>(std::min(Row, H)), 100, static_cast<int32_t>(H)), 0, 100));
    Progress(psRunning, Percent, true, FProgressRect, "");
    FProgressRect = OffsetRect(FProgressRect, 0, 1);
}

void TImageGraphic::EndProgress() { Progress(psEnding, 0, false, FProgressRect, ""); }

void TImageGraphic::ConvertRow(std::span<const std::span<const uint8_t>> Sources, int Row, uint8_t Mask) {
    const auto Count = static_cast<uint32_t>(Width());
    // The routine must write exactly the picture's pixels: more would run past the
    // row, fewer would leave part of every pixel unwritten.
    const uint64_t PixelBits = StoredPixelBits(PixelFormat());
    const uint64_t Exact = (uint64_t{Count} * PixelBits + 7) / 8;
    if (FColorManager->TargetBytesNeeded(Count) != Exact) throw EColorConversionError(gesConversionUnsupported);
    const std::span<uint8_t> Target(ScanLine(Row), static_cast<size_t>(RowBytes()));
    FColorManager->ConvertLineChecked(Sources, Target, Count, Mask);
}

void TImageGraphic::SeekFromBase(TStream& Stream, uint64_t Offset) {
    const int64_t Size = Stream.Size();
    if (FBasePosition < 0 || Offset > static_cast<uint64_t>(Size) ||
        static_cast<int64_t>(Offset) > Size - FBasePosition)
        throw EReadError();
    Stream.SetPosition(FBasePosition + static_cast<int64_t>(Offset));
}

// --- Shared routines --------------------------------------------------------------------------

void RaiseInvalidGraphic(const std::string& Message) { throw EInvalidGraphic(Message); }

void RaiseInvalidGraphicFmt(const char* Pattern, ...) {
    va_list Args;
    va_start(Args, Pattern);
    std::string Message = FormatV(Pattern, Args);
    va_end(Args);
    throw EInvalidGraphic(std::move(Message));
}

void SwapWordArray(void* P, size_t Count) {
    auto* Bytes = static_cast<uint8_t*>(P);
    for (size_t I = 0; I < Count; ++I, Bytes += 2) std::swap(Bytes[0], Bytes[1]);
}

void SwapLongArray(void* P, size_t Count) {
    auto* Bytes = static_cast<uint8_t*>(P);
    for (size_t I = 0; I < Count; ++I, Bytes += 4) {
        std::swap(Bytes[0], Bytes[3]);
        std::swap(Bytes[1], Bytes[2]);
    }
}

namespace {

void UndoDifference(std::span<uint8_t> Row, uint32_t Count, size_t BytesPerPixel) {
    // Never past the row, whatever pixel count the caller gives.
    const size_t Pixels = std::min<size_t>(size_t{Count} + 1, Row.size() / BytesPerPixel);
    if (Pixels < 2) return;
    const size_t N = (Pixels - 1) * BytesPerPixel;
    uint8_t* Data = Row.data();
    for (size_t K = 0; K < N; ++K) Data[K + BytesPerPixel] = static_cast<uint8_t>(Data[K + BytesPerPixel] + Data[K]);
}

} // namespace

void UndoHorizontalDifference(std::span<uint8_t> Row, uint32_t Count) { UndoDifference(Row, Count, 1); }
void UndoHorizontalDifference3(std::span<uint8_t> Row, uint32_t Count) { UndoDifference(Row, Count, 3); }
void UndoHorizontalDifference4(std::span<uint8_t> Row, uint32_t Count) { UndoDifference(Row, Count, 4); }

void UndoHorizontalDifference(std::span<uint8_t> Row, uint32_t Count, uint8_t SamplesPerPixel) {
    UndoDifference(Row, Count, SamplesPerPixel == 3 || SamplesPerPixel == 4 ? SamplesPerPixel : 1);
}

void UndoHorizontalDifference(std::span<uint8_t> Row, uint8_t SamplesPerPixel, uint8_t BitsPerSample,
                              bool BigEndian) {
    QV_ASSERT(SamplesPerPixel >= 1 && (BitsPerSample == 8 || BitsPerSample == 16), "Assertion failure");
    const size_t Stride = SamplesPerPixel;
    const size_t SampleBytes = BitsPerSample / 8;
    // Whole pixels only: the samples of a partial pixel at the end have no partner.
    const size_t Samples = Row.size() / (Stride * SampleBytes) * Stride;
    if (BitsPerSample == 8) {
        for (size_t K = Stride; K < Samples; ++K) Row[K] = static_cast<uint8_t>(Row[K] + Row[K - Stride]);
        return;
    }
    auto Load = [&](size_t I) -> uint16_t {
        const uint8_t* P = Row.data() + I * 2;
        return BigEndian ? static_cast<uint16_t>(P[0] << 8 | P[1]) : static_cast<uint16_t>(P[1] << 8 | P[0]);
    };
    auto Store = [&](size_t I, uint16_t V) {
        uint8_t* P = Row.data() + I * 2;
        P[BigEndian ? 0 : 1] = static_cast<uint8_t>(V >> 8);
        P[BigEndian ? 1 : 0] = static_cast<uint8_t>(V);
    };
    for (size_t I = Stride; I < Samples; ++I) Store(I, static_cast<uint16_t>(Load(I) + Load(I - Stride)));
}

std::vector<uint8_t> SampleScaleTable(uint32_t MaxValue) {
    std::vector<uint8_t> Table(size_t{MaxValue} + 1);
    for (uint32_t V = 0; V <= MaxValue; ++V)
        Table[V] = static_cast<uint8_t>((uint64_t{V} * 255 * 2 + MaxValue) / (uint64_t{MaxValue} * 2));
    return Table;
}

void Upsample2x2(uint32_t Width, uint32_t Height, uint32_t Stride, uint8_t* Plane) {
    QV_ASSERT(Width >= 1 && Height >= 1 && uint64_t{Stride} >= uint64_t{Width} * 2 && Plane != nullptr,
              "Assertion failure");
    auto RowAt = [&](uint64_t R) { return Plane + R * Stride; };
    auto Avg2 = [](unsigned A, unsigned B) { return static_cast<uint8_t>((A + B + 1) / 2); };
    auto Avg4 = [](unsigned A, unsigned B, unsigned C, unsigned D) {
        return static_cast<uint8_t>((A + B + C + D + 2) / 4);
    };
    // Source rows from the bottom up and each row from its right end, so nothing is
    // overwritten before it is read.
    for (uint32_t R = Height; R-- > 0;) {
        const uint8_t* S = RowAt(R);
        uint8_t* T = RowAt(uint64_t{R} * 2);
        T[2 * Width - 1] = S[Width - 1];
        for (uint32_t K = Width; K-- > 0;) {
            const uint8_t Left = S[K];
            if (K + 1 < Width) T[2 * K + 1] = Avg2(Left, S[K + 1]);
            T[2 * K] = Left;
        }
    }
    for (uint32_t K = 0; K + 1 < Height; ++K) {
        const uint8_t* P = RowAt(uint64_t{K} * 2);
        const uint8_t* Q = RowAt(uint64_t{K} * 2 + 2);
        uint8_t* T = RowAt(uint64_t{K} * 2 + 1);
        for (uint32_t J = 0; J + 1 < Width; ++J) {
            T[2 * J] = Avg2(P[2 * J], Q[2 * J]);
            T[2 * J + 1] = Avg4(P[2 * J], P[2 * J + 2], Q[2 * J], Q[2 * J + 2]);
        }
        T[2 * Width - 2] = Avg2(P[2 * Width - 2], Q[2 * Width - 2]);
        T[2 * Width - 1] = Avg2(P[2 * Width - 1], Q[2 * Width - 2]);
    }
    std::memcpy(RowAt(uint64_t{Height} * 2 - 1), RowAt(uint64_t{Height} * 2 - 2), size_t{Width} * 2);
}

// --- TFileFormatList --------------------------------------------------------------------------

TFileFormatList::~TFileFormatList() { ClearFormats(); }

int TFileFormatList::FindExtension(const std::string& Extension) const {
    if (Extension.empty()) return -1;
    const std::string Wanted = LowerCase(Extension);
    for (size_t I = 0; I < FExtensionList.size(); ++I)
        if (LowerCase(FExtensionList[I]->Extension) == Wanted) return static_cast<int>(I);
    return -1;
}

int TFileFormatList::FindGraphicClass(TGraphicClass GraphicClass) const {
    for (size_t I = 0; I < FClassList.size(); ++I)
        if (FClassList[I]->GraphicClass == GraphicClass) return static_cast<int>(I);
    return -1;
}

const TFileFormatList::TClassEntry& TFileFormatList::ClassEntry(int Index) const {
    if (Index < 0 || Index >= ClassCount()) throw EListError(Index);
    return *FClassList[static_cast<size_t>(Index)];
}

const TFileFormatList::TExtensionEntry& TFileFormatList::ExtensionEntry(int Index) const {
    if (Index < 0 || Index >= ExtensionCount()) throw EListError(Index);
    return *FExtensionList[static_cast<size_t>(Index)];
}

TFileFormatList::TClassEntry* TFileFormatList::AttachClass(TGraphicClass GraphicClass, const std::string& Common) {
    const int Index = FindGraphicClass(GraphicClass);
    TClassEntry* Entry;
    if (Index >= 0) {
        Entry = FClassList[static_cast<size_t>(Index)].get();
    } else {
        FClassList.push_back(std::make_unique<TClassEntry>(TClassEntry{GraphicClass, std::string(), 0}));
        Entry = FClassList.back().get();
    }
    if (!Common.empty()) Entry->Description = Common;
    ++Entry->Count;
    return Entry;
}

void TFileFormatList::RemoveClassEntry(const TClassEntry* Entry) {
    std::erase_if(FClassList, [Entry](const std::unique_ptr<TClassEntry>& E) { return E.get() == Entry; });
}

void TFileFormatList::RegisterFileFormat(const std::string& Extension, const std::string& Common,
                                         const std::string& Individual, TFormatKinds Kinds, bool Replace,
                                         TGraphicClass GraphicClass) {
    if (Extension.empty()) return;
    QV_ASSERT(GraphicClass != nullptr, "Assertion failure");
    const int Index = FindExtension(Extension);
    TClassEntry* Used;
    if (Index < 0) {
        // The class entry is attached first, so a failure leaves no half-made extension entry.
        Used = AttachClass(GraphicClass, Common);
        FExtensionList.push_back(std::make_unique<TExtensionEntry>(TExtensionEntry{Extension, Individual, Kinds, Used}));
    } else {
        if (!Replace) RaiseInvalidGraphicFmt(gesRegistration, Extension.c_str());
        TExtensionEntry& Entry = *FExtensionList[static_cast<size_t>(Index)];
        if (Entry.ClassEntry->GraphicClass == GraphicClass) {
            Used = Entry.ClassEntry;
        } else {
            TClassEntry* Old = Entry.ClassEntry;
            Used = AttachClass(GraphicClass, Common);
            Entry.ClassEntry = Used;
            if (--Old->Count == 0) RemoveClassEntry(Old);
        }
    }
    TPicture::RegisterFileFormat(Extension, Individual.empty() ? Used->Description : Individual, GraphicClass);
}

void TFileFormatList::UnregisterFileFormat(const std::string& Extension, TGraphicClass GraphicClass) {
    if (!Extension.empty()) {
        const int Index = FindExtension(Extension);
        if (Index < 0) return;
        TClassEntry* Entry = FExtensionList[static_cast<size_t>(Index)]->ClassEntry;
        // The platform registry can only drop whole classes, so it keeps this
        // extension while others of the class remain.
        if (--Entry->Count == 0) {
            TPicture::UnregisterGraphicClass(Entry->GraphicClass);
            RemoveClassEntry(Entry);
        }
        FExtensionList.erase(FExtensionList.begin() + Index);
        return;
    }
    const int ClassIndex = FindGraphicClass(GraphicClass);
    if (ClassIndex < 0) throw EListError(ClassIndex);
    TClassEntry* Entry = FClassList[static_cast<size_t>(ClassIndex)].get();
    for (size_t I = FExtensionList.size(); I-- > 0 && Entry->Count > 0;) {
        if (FExtensionList[I]->ClassEntry != Entry) continue;
        FExtensionList.erase(FExtensionList.begin() + static_cast<std::ptrdiff_t>(I));
        --Entry->Count;
    }
    RemoveClassEntry(Entry);
    TPicture::UnregisterGraphicClass(GraphicClass);
}

void TFileFormatList::ClearFormats() {
    for (const auto& Entry : FClassList) TPicture::UnregisterGraphicClass(Entry->GraphicClass);
    FClassList.clear();
    FExtensionList.clear();
}

// --- The one registry -------------------------------------------------------------------------

namespace {

struct TImageLibState {
    std::unique_ptr<TFileFormatList> List;

    TImageLibState() { Start(); }
    ~TImageLibState() { Finish(false); }

    void Start() {
        auto NewList = std::make_unique<TFileFormatList>();
        RegisterStartupFormats(*NewList);
        List = std::move(NewList);
    }

    // The explicit finish passes a shut-down fault on; at exit it is dropped, since nothing can
    // catch it there. Either way whatever is left is released with the registry.
    void Finish(bool PassOn) {
        if (!List) return;
        try {
            UnregisterShutdownFormats(*List);
            List.reset();
        } catch (...) {
            List.reset();
            if (PassOn) throw;
        }
    }
};

TImageLibState& State() {
    // The platform registry is touched first so that it is built before, and
    // therefore destroyed after, the state that unregisters from it at exit.
    static const bool PlatformReady = !TPicture::GraphicFileMask(TGraphic::StaticClass()).empty();
    (void)PlatformReady;
    static TImageLibState Instance;
    return Instance;
}

} // namespace

TFileFormatList& FileFormatList() {
    TImageLibState& S = State();
    if (!S.List) S.Start();
    return *S.List;
}

void InitializeImageLib() { FileFormatList(); }

void FinalizeImageLib() { State().Finish(true); }

} // namespace qv
