#include "store/message_fingerprint.h"

#include "platform/file_io.h"

message_fingerprint fingerprint_of(std::string_view bytes) {
    fingerprint_maker maker;
    maker.add(bytes);
    return maker.finish();
}

std::optional<message_fingerprint> fingerprint_of_file(const std::string& path) {
    // A FIFO or a device put in a mail folder is refused, not waited on.
    fingerprint_maker maker;
    if (!read_file_in_pieces(path, [&](std::string_view piece) { maker.add(piece); })) return std::nullopt;
    return maker.finish();
}
