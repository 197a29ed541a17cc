// A TCP stream through the frame reader in reads cut where the input says, against the same
// stream read in one piece. Input: a count of cuts (first byte, mod 32), that many 16-bit
// little-endian cut positions (mod the stream's length + 1), then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Common/Network/MessageSerializer.h"
#include "Fuzz/FrameCheck.h"

namespace {

void collect(const std::list<networkEventPtr>& events, std::vector<fuzz::ReadMessage>& read) {
    for (const networkEventPtr& event : events)
        read.push_back(fuzz::checkEvent(event));
}

bool startsWithZeroLength(const std::string& bytes) {
    return bytes.size() >= 2 && bytes[0] == 0 && bytes[1] == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietProtobuf();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t cutCount = data[0] % 32;
    size_t header = 1 + 2 * cutCount;
    if (header > size)
        header = size;
    const char* stream = reinterpret_cast<const char*>(data) + header;
    const size_t length = size - header;

    std::vector<size_t> cuts;
    for (size_t i = 1; i + 1 < header; i += 2)
        cuts.push_back((data[i] | data[i + 1] << 8) % (length + 1));
    cuts.push_back(length);
    std::sort(cuts.begin(), cuts.end());

    std::string wholeRest;
    std::vector<fuzz::ReadMessage> whole;
    collect(MessageSerializer::deserializeMessageArray(stream, length, &wholeRest), whole);

    std::string leftovers;
    std::vector<fuzz::ReadMessage> pieces;
    size_t start = 0;
    for (size_t cut : cuts) {
        // Each read in a buffer of its own size, so that reading past it shows.
        const size_t n = cut - start;
        std::unique_ptr<char[]> read(new char[n]);
        if (n > 0)
            std::memcpy(read.get(), stream + start, n);
        const bool stopped = startsWithZeroLength(leftovers);
        const size_t before = leftovers.size();
        collect(MessageSerializer::deserializeMessageArray(read.get(), n, &leftovers), pieces);
        if (stopped && leftovers != std::string(2, '\0'))
            fuzz::fail("a stream stopped at a zero length field kept more than that field");
        if (leftovers.size() > before + n)
            fuzz::fail("the leftovers grew by more than was read");
        start = cut;
    }

    // Where the frames are cut must not matter: the same messages in the same order, both
    // readings stopping at the first zero length field (a frame that does not parse is
    // skipped by both), and the same bytes left, except that a stream stopped at a zero
    // length field may have dropped what came after it.
    if (pieces != whole)
        fuzz::fail("reading in pieces gave other messages than reading at once");
    if (startsWithZeroLength(wholeRest)) {
        if (!startsWithZeroLength(leftovers) || wholeRest.compare(0, leftovers.size(), leftovers) != 0)
            fuzz::fail("a stream stopped at a zero length field left other bytes than read at once");
    } else if (leftovers != wholeRest) {
        fuzz::fail("reading in pieces left other bytes than reading at once");
    }
    return 0;
}
