// Reading an announcement with the sequencer's own pieces, so that what a
// run decides and what the trace shows never differ.
#include "announce.h"

#include <cstring>

#include "hooks.h"

bool ReadAnnouncement(const char* data, int len, Announcement* out) {
    if (len < kAnnouncedAddressOffset + 4 || !IsAnnouncement(data)) return false;
    memcpy(&out->addr, data + kAnnouncedAddressOffset, sizeof out->addr);
    out->name = data + kNameOffset;
    out->name_len = NameFieldLength(data);
    out->matched_len = 0;
    out->kind = MatchName(out->name, &out->matched_len);
    out->serial = out->kind == kAppKind ? ReadSerial(data, out->matched_len) : 0;
    out->mac = reinterpret_cast<const uint8_t*>(data + kMacOffset);
    return true;
}
