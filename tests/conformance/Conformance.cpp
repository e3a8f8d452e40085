// qv_conformance CLI CORPUS [TMPDIR]: decodes every picture of the shared corpus
// with `CLI convert FILE OUT.pam` in a child process (so that a crash or a hang
// is one file's result, not the run's), compares the result as the reader tests
// do (CorpusExpectations), prints one line per format and the files that came
// out wrong or crashed. Exits 1 when any did.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestPng.h"
#include "formats/CorpusExpectations.h"

namespace fs = std::filesystem;
using namespace qvtest;

namespace {

enum class TOutcome { Exact, Tolerance, Documented, ExpectedError, Wrong, Crashed };

struct TRun {
    bool Crashed = false;
    int Exit = 0;
    std::string Stderr;
    std::string Why; // of a crash
};

std::vector<uint8_t> ReadBytes(const fs::path& Path) {
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

/// Runs CLI convert In Out with a time limit; stdout dropped, stderr kept.
TRun RunConvert(const std::string& Cli, const std::string& In, const std::string& Out, const std::string& ErrFile,
                std::chrono::milliseconds Limit) {
    TRun Run;
    const pid_t Child = fork();
    if (Child < 0) {
        Run.Crashed = true;
        Run.Why = "fork failed";
        return Run;
    }
    if (Child == 0) {
        const int Null = open("/dev/null", O_WRONLY);
        const int Err = open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (Null >= 0) dup2(Null, 1);
        if (Err >= 0) dup2(Err, 2);
        execl(Cli.c_str(), Cli.c_str(), "convert", In.c_str(), Out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto Start = std::chrono::steady_clock::now();
    int Status = 0;
    for (;;) {
        const pid_t Done = waitpid(Child, &Status, WNOHANG);
        if (Done == Child) break;
        if (std::chrono::steady_clock::now() - Start > Limit) {
            kill(Child, SIGKILL);
            waitpid(Child, &Status, 0);
            Run.Crashed = true;
            Run.Why = "no result within " + std::to_string(Limit.count()) + " ms";
            return Run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto Err = ReadBytes(ErrFile);
    Run.Stderr.assign(Err.begin(), Err.end());
    if (WIFSIGNALED(Status)) {
        Run.Crashed = true;
        Run.Why = "signal " + std::to_string(WTERMSIG(Status));
    } else {
        Run.Exit = WEXITSTATUS(Status);
        // The sanitizers report through stderr and their own exit code.
        if (Run.Stderr.find("Sanitizer") != std::string::npos || Run.Exit > 2) {
            Run.Crashed = true;
            Run.Why = "exit " + std::to_string(Run.Exit);
        }
    }
    return Run;
}

/// Reads the 8-bit RGBA PAM the CLI writes.
TRgbaImage ReadPam(const fs::path& Path) {
    const std::vector<uint8_t> Data = ReadBytes(Path);
    const std::string Text(Data.begin(), Data.end());
    const size_t End = Text.find("ENDHDR\n");
    if (Text.rfind("P7\n", 0) != 0 || End == std::string::npos) throw std::runtime_error("not a PAM file");
    std::istringstream Header(Text.substr(0, End));
    TRgbaImage Image;
    std::string Key;
    int Depth = 0, MaxVal = 0;
    while (Header >> Key) {
        if (Key == "WIDTH") Header >> Image.Width;
        else if (Key == "HEIGHT") Header >> Image.Height;
        else if (Key == "DEPTH") Header >> Depth;
        else if (Key == "MAXVAL") Header >> MaxVal;
    }
    const size_t Size = size_t(Image.Width) * size_t(Image.Height) * 4;
    if (Depth != 4 || MaxVal != 255 || Data.size() - (End + 7) != Size) throw std::runtime_error("unexpected PAM layout");
    Image.Pixels.assign(Data.begin() + static_cast<std::ptrdiff_t>(End + 7), Data.end());
    return Image;
}

/// The error message of the CLI's "name: error: MESSAGE" line.
std::string MessageOf(const std::string& Stderr) {
    const size_t At = Stderr.find(": error: ");
    std::string Message = At == std::string::npos ? Stderr : Stderr.substr(At + 9);
    while (!Message.empty() && (Message.back() == '\n' || Message.back() == '\r')) Message.pop_back();
    return Message;
}

/// Judges a decoded picture against the file's expectation; Detail says what is wrong.
TOutcome Judge(const fs::path& Corpus, const std::string& Format, const fs::path& File, const TCorpusExpectation& E,
               const TRgbaImage& Actual, const std::vector<uint8_t>& Data, std::string& Detail) {
    const fs::path RefPath = Corpus / "ref" / Format / (File.filename().string() + ".png");
    auto Compare = [&](const TRgbaImage& Expected, int Tolerance, TAlphaCheck Alpha, TOutcome Passed) {
        Detail = DifferenceOf(Actual, Expected, Tolerance, Alpha);
        if (!Detail.empty()) return TOutcome::Wrong;
        if (Passed == TOutcome::Tolerance && DifferenceOf(Actual, Expected, 0, Alpha).empty()) return TOutcome::Exact;
        return Passed;
    };
    switch (E.Check) {
    case TCorpusCheck::Loads: return TOutcome::Documented;
    case TCorpusCheck::Fails: Detail = "loaded, expected \"" + E.Message + "\""; return TOutcome::Wrong;
    case TCorpusCheck::Source:
        return Compare(SixBitPart(ReadPng((Corpus / "sources" / E.Source).string()), Actual.Width, Actual.Height), 0,
                       E.Alpha, TOutcome::Documented);
    case TCorpusCheck::Channels: {
        const fs::path Channels = Corpus / "ref" / Format / (File.filename().string() + ".channels.png");
        return Compare(FromInkChannels(ReadPng(Channels.string())), E.Tolerance, E.Alpha, TOutcome::Documented);
    }
    default: break;
    }
    const TRgbaImage Reference = AdjustedReference(Format, Data, ReadPng(RefPath.string()));
    switch (E.Check) {
    case TCorpusCheck::RowEnds:
        Detail = DifferenceOf(WithReferenceRowEnds(Actual, Reference), Reference, E.Tolerance, E.Alpha);
        return Detail.empty() ? TOutcome::Documented : TOutcome::Wrong;
    case TCorpusCheck::Inverted: return Compare(InvertedColour(Reference), E.Tolerance, E.Alpha, TOutcome::Documented);
    case TCorpusCheck::Similar:
    case TCorpusCheck::SizeOnly:
        if (Actual.Width != Reference.Width || Actual.Height != Reference.Height) {
            Detail = DifferenceOf(Actual, Reference, 255, TAlphaCheck::Ignore);
            return TOutcome::Wrong;
        }
        if (E.Check == TCorpusCheck::Similar && MeanColourDifference(Actual, Reference) >= E.Tolerance) {
            Detail = "mean difference " + std::to_string(MeanColourDifference(Actual, Reference));
            return TOutcome::Wrong;
        }
        return TOutcome::Documented;
    default: return Compare(Reference, E.Tolerance, E.Alpha, E.Why.empty() ? TOutcome::Tolerance : TOutcome::Documented);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qv_conformance QUORVIA-CLI CORPUS [WORKDIR] [TIME-FACTOR]\n");
        return 2;
    }
    const std::string Cli = argv[1];
    const fs::path Corpus = argv[2];
    // An empty or missing WORKDIR: a private temporary folder, removed at the end.
    const bool OwnWork = argc <= 3 || std::string(argv[3]).empty();
    const fs::path Work = OwnWork ? fs::temp_directory_path() / ("qv_conformance." + std::to_string(getpid())) : fs::path(argv[3]);
    const double Factor = argc > 4 ? std::stod(argv[4]) : 1.0;
    fs::create_directories(Work);
    const std::string Out = (Work / "out.pam").string(), Err = (Work / "stderr.txt").string();

    std::vector<std::string> Formats;
    for (const auto& Entry : fs::directory_iterator(Corpus / "files"))
        if (Entry.is_directory()) Formats.push_back(Entry.path().filename().string());
    std::sort(Formats.begin(), Formats.end());

    std::vector<std::string> Bad;
    int Totals[6] = {}, AllFiles = 0;
    std::printf("%-6s %6s %6s %10s %11s %9s %6s %8s\n", "format", "files", "exact", "tolerance", "documented",
                "expected", "wrong", "crashed");
    for (const std::string& Format : Formats) {
        std::vector<fs::path> Files;
        for (const auto& Entry : fs::directory_iterator(Corpus / "files" / Format))
            if (Entry.is_regular_file() && IsCorpusPicture(Format, Entry.path().filename().string()))
                Files.push_back(Entry.path());
        std::sort(Files.begin(), Files.end());
        int Counts[6] = {};
        for (const fs::path& File : Files) {
            const std::string Name = File.filename().string();
            const std::vector<uint8_t> Data = ReadBytes(File);
            const TCorpusExpectation Expect = CorpusExpectation(Format, Name, Data);
            fs::remove(Out);
            // A few seconds for start-up, then about a second per 100 KB (scaled for sanitizer builds).
            const auto Limit = std::chrono::milliseconds(static_cast<long>((5000 + double(Data.size()) / 100.0) * Factor));
            const TRun Run = RunConvert(Cli, File.string(), Out, Err, Limit);
            TOutcome Outcome;
            std::string Detail;
            if (Run.Crashed) {
                Outcome = TOutcome::Crashed;
                Detail = Run.Why;
            } else if (Run.Exit != 0) {
                const std::string Message = MessageOf(Run.Stderr);
                Outcome = Expect.Check == TCorpusCheck::Fails && Message == Expect.Message ? TOutcome::ExpectedError
                                                                                           : TOutcome::Wrong;
                if (Outcome == TOutcome::Wrong)
                    Detail = "refused: \"" + Message + "\"" +
                             (Expect.Check == TCorpusCheck::Fails ? ", expected \"" + Expect.Message + "\"" : "");
            } else {
                try {
                    Outcome = Judge(Corpus, Format, File, Expect, ReadPam(Out), Data, Detail);
                } catch (const std::exception& E) {
                    Outcome = TOutcome::Wrong;
                    Detail = E.what();
                }
            }
            ++Counts[static_cast<int>(Outcome)];
            if (Outcome == TOutcome::Wrong || Outcome == TOutcome::Crashed)
                Bad.push_back(Format + "/" + Name + (Outcome == TOutcome::Crashed ? " CRASHED: " : " WRONG: ") + Detail);
        }
        std::printf("%-6s %6zu %6d %10d %11d %9d %6d %8d\n", Format.c_str(), Files.size(), Counts[0], Counts[1],
                    Counts[2], Counts[3], Counts[4], Counts[5]);
        for (int I = 0; I < 6; ++I) Totals[I] += Counts[I];
        AllFiles += static_cast<int>(Files.size());
    }
    std::printf("%-6s %6d %6d %10d %11d %9d %6d %8d\n", "all", AllFiles, Totals[0], Totals[1], Totals[2], Totals[3],
                Totals[4], Totals[5]);
    if (!Bad.empty()) {
        std::printf("\nwrong or crashed:\n");
        for (const std::string& Line : Bad) std::printf("  %s\n", Line.c_str());
    }
    std::error_code Ignored;
    if (OwnWork) fs::remove_all(Work, Ignored);
    return Bad.empty() ? 0 : 1;
}
