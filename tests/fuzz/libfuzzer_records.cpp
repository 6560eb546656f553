// libFuzzer entry for the record decoders (the same checks as tst_fuzz_records); built and run by
// tests/fuzz/libfuzzer.sh with Debian's clang, AddressSanitizer and UBSan.
#include "RecordChecks.h"

#include "wire/Records.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly one record on the heap, shorter inputs padded with zeros: a read past it is caught.
    std::unique_ptr<char[]> rec(new char[Records::kSize]());
    memcpy(rec.get(), data, size < size_t(Records::kSize) ? size : size_t(Records::kSize));
    const QString error = Fuzz::checkRecordDecoders(rec.get());
    if (!error.isEmpty()) {
        fprintf(stderr, "%s\n", qPrintable(error));
        abort();
    }
    return 0;
}
