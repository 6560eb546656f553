#pragma once

// One entry point shared by the seeded driver and the libFuzzer build: every record decoder of
// wire/Records run on one 255-byte record, with the properties a decoder must keep.
#include <QString>

namespace Fuzz {

// rec points to exactly Records::kSize bytes (no more, so a sanitizer sees any read past it).
// Returns what went wrong, or an empty string.
QString checkRecordDecoders(const char *rec);

} // namespace Fuzz
