#pragma once
// Readable forms of transcript entries, for logs and test failure messages.

#include "devsim/SerialDeviceModel.h"

#include <string>
#include <string_view>

namespace vk::devsim {

// Printable ASCII as is, CR and LF as \r and \n, backslash doubled, anything else as \xNN.
std::string EscapeBytes(std::string_view bytes);

// One line without its line end, e.g. "     1.234567 host> @115200 OP 7\r"; the device's bytes
// are marked "dev> ", notes "----".
std::string FormatTranscriptEntry(const TranscriptEntry& entry);

// The bytes that went one way and arrived, concatenated: what the other side really saw.
std::string DeliveredBytes(const std::vector<TranscriptEntry>& transcript,
                           TranscriptEntry::Kind kind);

} // namespace vk::devsim
