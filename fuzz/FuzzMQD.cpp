// MQD documents from arbitrary bytes: loading never reads or writes outside
// its buffers, whatever loaded also flattens, and a document that loaded
// completely saves to a stream that loads again.

#include <cstddef>
#include <cstdint>

#include "document/MQDoc.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

// Keeps one input fast: flattening allocates the whole document.
constexpr int64_t MaxFlattenPixels = int64_t{1} << 22;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qv::TBytesStream Stream(Data, static_cast<int64_t>(Size));
    qv::TPictureDoc Doc;
    bool Loaded = false;
    try {
        Doc.LoadFromStream(Stream);
        Loaded = true;
    } catch (const qv::Exception&) {
        // Damaged input: the layers read so far must still be usable.
    }

    if (int64_t{Doc.DocWidth()} * Doc.DocHeight() <= MaxFlattenPixels) {
        try {
            qv::TBitmap Bitmap;
            Doc.Flatten(Bitmap, true);
        } catch (const qv::Exception&) {
            // An empty document size is refused.
        }
    }

    if (Loaded) {
        qv::TMemoryStream Saved;
        Doc.SaveToStream(Saved);
        Saved.SetPosition(0);
        qv::TPictureDoc Again;
        Again.LoadFromStream(Saved); // must not throw: the writer's output is always readable
        if (Again.LayerCount() != Doc.LayerCount()) __builtin_trap();
    }
    return 0;
}
