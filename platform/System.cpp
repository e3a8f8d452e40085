#include "platform/System.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/Exceptions.h"

namespace qv {

int32_t MulDiv(int32_t A, int32_t B, int32_t C) {
    if (C == 0) return -1;
    const int64_t Product = static_cast<int64_t>(A) * B;
    const bool Negative = (Product < 0) != (C < 0);
    const uint64_t Magnitude = Product < 0 ? static_cast<uint64_t>(-Product) : static_cast<uint64_t>(Product);
    const uint64_t Divisor = C < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(C)) : static_cast<uint64_t>(C);
    const uint64_t Quotient = (Magnitude + Divisor / 2) / Divisor;
    if (Quotient > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return -1;
    return Negative ? -static_cast<int32_t>(Quotient) : static_cast<int32_t>(Quotient);
}

uint32_t GetTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string FormatV(const char* Pattern, va_list Args) {
    va_list Copy;
    va_copy(Copy, Args);
    const int Length = std::vsnprintf(nullptr, 0, Pattern, Copy);
    va_end(Copy);
    if (Length <= 0) return std::string();
    std::string Result(static_cast<size_t>(Length), '\0');
    std::vsnprintf(Result.data(), Result.size() + 1, Pattern, Args);
    return Result;
}

std::string Format(const char* Pattern, ...) {
    va_list Args;
    va_start(Args, Pattern);
    std::string Result = FormatV(Pattern, Args);
    va_end(Args);
    return Result;
}

// ---------------------------------------------------------------------------
// Folder search

struct TFolderSearch::TState {
    DIR* Dir = nullptr;
    std::string Folder;
    std::string Pattern;
    int32_t Attr = 0;
    ~TState() {
        if (Dir) closedir(Dir);
    }
};

TFolderSearch::TFolderSearch() = default;
TFolderSearch::~TFolderSearch() { FindClose(); }

bool TFolderSearch::FindFirst(const std::string& Path, int32_t Attr, TSearchRec& Rec) {
    FindClose();
    std::string Normal = Path;
    std::replace(Normal.begin(), Normal.end(), '\\', '/');
    const size_t Slash = Normal.find_last_of('/');
    auto State = std::make_unique<TState>();
    if (Slash == std::string::npos) {
        State->Folder.assign("./");
        State->Pattern.assign(Normal);
    } else {
        State->Folder.assign(Normal, 0, Slash + 1);
        State->Pattern.assign(Normal, Slash + 1, std::string::npos);
    }
    // "*.*" matches every name, dotted or not, as on the desktop it comes from.
    if (State->Pattern == "*.*") State->Pattern.assign(1, '*');
    State->Attr = Attr;
    State->Dir = opendir(State->Folder.c_str());
    if (!State->Dir) return false;
    FState = std::move(State);
    if (!Advance(Rec)) {
        FindClose();
        return false;
    }
    return true;
}

bool TFolderSearch::FindNext(TSearchRec& Rec) { return FState && Advance(Rec); }

void TFolderSearch::FindClose() { FState.reset(); }

bool TFolderSearch::Advance(TSearchRec& Rec) {
    while (dirent* Entry = readdir(FState->Dir)) {
        const std::string Name = Entry->d_name;
        if (Name == "." || Name == "..") continue;
        if (fnmatch(FState->Pattern.c_str(), Name.c_str(), 0) != 0) continue;
        struct stat Info {};
        const std::string Full = FState->Folder + Name;
        if (stat(Full.c_str(), &Info) != 0) continue;
        int32_t Attr = 0;
        if (S_ISDIR(Info.st_mode)) Attr |= faDirectory;
        else if (!S_ISREG(Info.st_mode)) Attr |= faSysFile;
        else Attr |= faArchive;
        if (Name[0] == '.') Attr |= faHidden;
        if ((Info.st_mode & 0222) == 0) Attr |= faReadOnly;
        // Ordinary files are always found; the special kinds only when asked for.
        const int32_t Special = Attr & (faHidden | faSysFile | faDirectory);
        if ((Special & ~FState->Attr) != 0) continue;
        Rec.Name = Name;
        Rec.Size = static_cast<int64_t>(Info.st_size);
        Rec.Attr = Attr;
        Rec.Time = static_cast<int64_t>(Info.st_mtime);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Strings

int AnsiCompareStr(const std::string& A, const std::string& B) {
    const int Result = std::strcoll(A.c_str(), B.c_str());
    return Result < 0 ? -1 : (Result > 0 ? 1 : 0);
}

int AnsiCompareText(const std::string& A, const std::string& B) { return AnsiCompareStr(LowerCase(A), LowerCase(B)); }

std::string LowerCase(const std::string& S) {
    std::string R = S;
    for (char& C : R)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return R;
}

std::string UpperCase(const std::string& S) {
    std::string R = S;
    for (char& C : R)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    return R;
}

// ---------------------------------------------------------------------------
// Pseudo-random generator

uint32_t RandSeed = 0;

void Randomize() {
    using namespace std::chrono;
    RandSeed = static_cast<uint32_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

int32_t Random(int32_t Range) {
    RandSeed = RandSeed * 0x08088405u + 1u;
    if (Range <= 0) return 0;
    return static_cast<int32_t>((static_cast<uint64_t>(RandSeed) * static_cast<uint32_t>(Range)) >> 32);
}

// ---------------------------------------------------------------------------
// File names

std::string ExtractFileName(const std::string& Path) {
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

std::string ExtractFilePath(const std::string& Path) {
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos ? std::string() : Path.substr(0, Slash + 1);
}

std::string ExtractFileExt(const std::string& Path) {
    const size_t Dot = Path.find_last_of("./");
    if (Dot == std::string::npos || Path[Dot] != '.') return std::string();
    return Path.substr(Dot);
}

std::string IncludeTrailingPathDelimiter(const std::string& Path) {
    if (!Path.empty() && Path.back() == '/') return Path;
    return Path + "/";
}

std::string ChangeFileExt(const std::string& Path, const std::string& Ext) {
    const std::string Old = ExtractFileExt(Path);
    return Path.substr(0, Path.size() - Old.size()) + Ext;
}

bool FileExists(const std::string& Path) {
    struct stat Info {};
    return stat(Path.c_str(), &Info) == 0 && !S_ISDIR(Info.st_mode);
}

int32_t StrToInt(const std::string& S) {
    const std::string Error = "'" + S + "' is not a valid integer value";
    if (S.empty()) throw EConvertError(Error);
    errno = 0;
    char* End = nullptr;
    const long long Value = std::strtoll(S.c_str(), &End, 10);
    if (*End != '\0' || errno == ERANGE || Value < std::numeric_limits<int32_t>::min() ||
        Value > std::numeric_limits<int32_t>::max() || S[0] == ' ')
        throw EConvertError(Error);
    return static_cast<int32_t>(Value);
}

bool TryTextToFloat(const std::string& S, double& Value) {
    auto IsBlank = [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; };
    size_t First = 0;
    size_t Last = S.size();
    while (First < Last && IsBlank(S[First])) ++First;
    while (Last > First && IsBlank(S[Last - 1])) --Last;
    const char* Begin = S.data() + First;
    const char* End = S.data() + Last;
    // from_chars takes no sign '+'; a leading one is allowed, a second sign is not.
    if (Begin != End && *Begin == '+' && End - Begin > 1 && Begin[1] != '-') ++Begin;
    if (Begin == End) return false;
    double Result = 0;
    const auto [Stop, Error] = std::from_chars(Begin, End, Result);
    if (Stop != End || Error != std::errc()) return false;
    Value = Result;
    return true;
}

} // namespace qv
