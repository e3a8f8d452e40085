// The decoder base class and the warning sink shared by the decoders.

#include "imaging/decoders/ImageCompression.h"

#include <cstdio>
#include <mutex>

namespace qv {

namespace {

std::mutex WarningSinkLock;
TWarningSink& CurrentWarningSink() {
    static TWarningSink Sink;
    return Sink;
}

} // namespace

void SetWarningSink(TWarningSink Sink) {
    std::lock_guard<std::mutex> Guard(WarningSinkLock);
    CurrentWarningSink() = std::move(Sink);
}

void ShowWarning(const std::string& Caption, const std::string& Text) noexcept {
    try {
        TWarningSink Sink;
        {
            std::lock_guard<std::mutex> Guard(WarningSinkLock);
            Sink = CurrentWarningSink();
        }
        if (Sink)
            Sink(Caption, Text);
        else
            std::fprintf(stderr, "%s: %s\n", Caption.c_str(), Text.c_str());
    } catch (...) {
        // A warning must never end a decode, least of all from inside libjpeg's C frames.
    }
}

void TDecoder::Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t& BytesStored, size_t) {
    BytesStored = 0;
}

} // namespace qv
