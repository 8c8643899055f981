#include "loconet/kvr_hex_text.h"

#include "foundation/kvr_text.h"
#include "loconet/kvr_loconet_msg.h"

std::string kvr_hex_bytes(const kvr_loconet_msg& msg) {
    std::string s;
    for (int i = 0; i < msg.length(); ++i) string_appendf(s, i ? " %02X" : "%02X", msg[i]);
    return s;
}
