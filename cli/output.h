// output.h: This file contains how the kovo tool writes what it read: every
// byte of standard output through one function that notices a write that
// fails (a full disk, a closed pipe), JSON with nothing in it that could
// steer a terminal, CSV fields, and the time stamps of repeated readings.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo_cli {

using json = nlohmann::ordered_json;

// Thrown when standard output cannot take what is written; errno's value.
struct OutputError {
    int error;
};

// Writes the text on standard output; throws OutputError when it fails.
void put(const std::string& text);
// Flushes standard output; throws OutputError when it fails.
void flush();

// A document as one line of JSON. JSON text is UTF-8: a crate's byte that is
// no UTF-8 becomes U+FFFD; the C1 controls, the line and paragraph separators
// and the bidirectional controls are written as \u escapes, as the C0
// controls already are.
std::string dumped(const json& document);

// A CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
std::string csvField(const std::string& text);

// The current time as a reading is stamped with: UTC, ISO 8601, milliseconds.
std::string timeStamp();

}  // namespace kovo_cli
