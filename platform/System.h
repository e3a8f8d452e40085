#pragma once
// Small system routines: arithmetic, time, folder search, string compare,
// printf-style formatting and the runtime's pseudo-random generator.

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

namespace qv {

/// A * B / C with a 64-bit product, rounded to the nearest integer (halves
/// away from zero); -1 when C is 0.
int32_t MulDiv(int32_t A, int32_t B, int32_t C);

/// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t GetTickCount();

/// printf-style formatting into a std::string.
std::string Format(const char* Pattern, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* Pattern, va_list Args);

/// File attributes of the folder search.
enum TFileAttr : int32_t {
    faReadOnly = 0x01,
    faHidden = 0x02,
    faSysFile = 0x04,
    faVolumeID = 0x08,
    faDirectory = 0x10,
    faArchive = 0x20,
    faSymLink = 0x40,
    faAnyFile = 0x3F
};

/// One entry found by the folder search.
struct TSearchRec {
    std::string Name;   ///< file name without folder
    int64_t Size = 0;   ///< size in bytes
    int32_t Attr = 0;   ///< TFileAttr bits
    int64_t Time = 0;   ///< modification time, seconds since 1970
};

/// Searches a folder: Path is folder + pattern (for example "/pics/*.*";
/// "*.*" matches every name). Ordinary files are always found; directories,
/// hidden files (names starting with a dot) and system files only when
/// Attr includes their bit. Backslashes in Path are taken as separators.
class TFolderSearch {
public:
    TFolderSearch();
    ~TFolderSearch();
    TFolderSearch(const TFolderSearch&) = delete;
    TFolderSearch& operator=(const TFolderSearch&) = delete;

    /// Starts the search; false when nothing is found or the folder cannot be read.
    bool FindFirst(const std::string& Path, int32_t Attr, TSearchRec& Rec);
    /// The next entry; false when there are no more.
    bool FindNext(TSearchRec& Rec);
    void FindClose();

private:
    bool Advance(TSearchRec& Rec);
    struct TState;
    std::unique_ptr<TState> FState;
};

/// The system string compare used for sorting: locale-aware, case-sensitive.
int AnsiCompareStr(const std::string& A, const std::string& B);
/// Locale-aware comparison ignoring letter case.
int AnsiCompareText(const std::string& A, const std::string& B);

/// Lower-cases ASCII letters.
std::string LowerCase(const std::string& S);
std::string UpperCase(const std::string& S);

/// The runtime's pseudo-random generator: a 32-bit linear congruential
/// sequence; Random(Range) answers 0 <= r < Range.
extern uint32_t RandSeed;
void Randomize();
int32_t Random(int32_t Range);

/// File name helpers on '/'-separated paths.
std::string ExtractFileName(const std::string& Path);
std::string ExtractFilePath(const std::string& Path);  ///< with its trailing separator
std::string ExtractFileExt(const std::string& Path);   ///< with its dot; "" when none
std::string IncludeTrailingPathDelimiter(const std::string& Path);
/// Path with its extension (as ExtractFileExt finds it) replaced by Ext, which
/// includes its dot; Ext is appended when Path has no extension.
std::string ChangeFileExt(const std::string& Path, const std::string& Ext);
bool FileExists(const std::string& Path);

/// Converts decimal text to an integer; raises EConvertError when it is not one.
int32_t StrToInt(const std::string& S);

/// Converts decimal text ("2.2", " 1.0", "-3e2", "inf") to a number with '.' as the
/// separator whatever the locale, ignoring blanks around it; false when the text
/// is not one number or lies outside the range of a double.
bool TryTextToFloat(const std::string& S, double& Value);

} // namespace qv
