// The ten-slot mailbox between the thread that handles objects (producer) and
// the window's timer (consumer). No lock: a slot's first character is its
// ready flag, published last by the producer and cleared last by the consumer.
#pragma once

#include <string>
#include <string_view>

namespace scan {

// How many 1 ms waits for a busy slot the producer makes before it gives up.
inline constexpr int32_t kRingRetryLimit = 500;

// Producer: waits (1 ms steps) for the next slot to be free and fills it. A
// slot that stays busy for the retry limit drops the line and asks the user,
// through the message seam, to stop the scan. `line` is at most 259
// characters and does not start with a zero byte. Nothing slows a producer
// whose consumer keeps up: the window's timer takes lines as fast as they come
// (ui/scan_controller.cpp).
void QueueStatusLine(std::string_view line);

// Consumer: takes the next full slot's line, frees the slot and advances.
// False when the next slot is empty.
bool TakeStatusLine(std::string& line);

}  // namespace scan
