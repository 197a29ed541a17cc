// One datagram through the frame reader, as the receiver reads it: a qport, then frames.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Common/Network/MessageSerializer.h"
#include "Fuzz/FrameCheck.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietProtobuf();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The receiver drops anything too short for its qport before reading frames.
    if (size < 4)
        return 0;
    const char* frames = reinterpret_cast<const char*>(data) + 4;
    const size_t frameBytes = size - 4;

    std::string leftovers;
    std::vector<networkEventPtr> events;
    MessageSerializer::deserializeMessageArray(frames, frameBytes, &leftovers, events);
    // What is left is the datagram's tail after its last whole frame.
    if (leftovers.size() > frameBytes ||
        leftovers.compare(0, std::string::npos, frames + frameBytes - leftovers.size(), leftovers.size()) != 0)
        fuzz::fail("the leftovers are not the datagram's tail");
    for (const networkEventPtr& event : events)
        fuzz::checkEvent(event);
    return 0;
}
