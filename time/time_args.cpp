#include "time/time_args.h"

#include <cstdint>
#include <utility>

#include "com/com_holders.h"
#include "com/file_time.h"
#include "com/floating_point_defaults.h"
#include "time/time_conversion.h"

namespace {

void FreeText(OPCHDA_TIME* time) {
    TaskArray<WCHAR>::attach(std::exchange(time->szTime, nullptr), 0).reset();
}

// Task-memory copy of `text` up to its first zero character; `byteLen` bytes at
// most are read. A null text gives an empty one.
LPWSTR CopyText(BSTR text) {
    const UINT byteLen = SysStringByteLen(text);
    auto copy = TaskArray<WCHAR>::alloc(byteLen / sizeof(WCHAR) + 1);
    if (!copy) return nullptr;
    UINT i = 0;
    for (const UINT chars = byteLen / sizeof(WCHAR); i < chars && text[i] != L'\0'; ++i) copy[i] = text[i];
    copy[i] = L'\0';
    return copy.detach();
}

}  // namespace

HRESULT TimeArgToHdaTime(VARIANT* arg, OPCHDA_TIME* out) { return TimeArgToHdaTime(arg, out, CallZone()); }

HRESULT TimeArgToHdaTime(VARIANT* arg, OPCHDA_TIME* out, const CallZone& zone) {
    if (!arg || !out) return E_POINTER;
    FreeText(out);

    // Only a plain string is a relative-time text; the historian parses it.
    if (V_VT(arg) == VT_BSTR) {
        out->bString = TRUE;
        out->szTime = CopyText(V_BSTR(arg));
        return out->szTime ? S_OK : E_OUTOFMEMORY;
    }

    out->bString = FALSE;
    // The platform's coercion parses texts and compares numbers in the caller's
    // floating-point state: another date at 64-bit x87 precision, a fault on
    // NaN where the caller unmasked invalid operations.
    const FloatingPointDefaults floatingPoint;
    UniqueVariant date;
    // Anything the platform coerces to a date is a date, by-reference values and
    // the empty variant (day 0) included.
    HRESULT hr = VariantChangeType(date.get(), arg, 0, VT_DATE);
    if (FAILED(hr)) return hr;

    FILETIME ft;
    if (!zone.ToFileTime(V_DATE(date.get()), &ft)) return E_FAIL;
    out->ftTime = ft;
    // The historian always receives a text; an absolute time carries an empty one.
    out->szTime = TaskArray<WCHAR>::alloc(1).detach();
    if (!out->szTime) return E_OUTOFMEMORY;
    out->szTime[0] = L'\0';
    return S_OK;
}

void HdaTimeToTimeArg(const OPCHDA_TIME* time, VARIANT* arg) { HdaTimeToTimeArg(time, arg, CallZone()); }

void HdaTimeToTimeArg(const OPCHDA_TIME* time, VARIANT* arg, const CallZone& zone) {
    if (!time || !arg) return;
    ClearVariantValue(arg);
    DATE local;
    if (zone.ToLocalDate(time->ftTime, &local)) {
        V_VT(arg) = VT_DATE;
        V_DATE(arg) = local;
    } else {
        V_VT(arg) = VT_ERROR;
        V_ERROR(arg) = E_FAIL;
    }
}

FILETIME DateSpanToFileTime(DATE span) {
    // At the caller's 64-bit x87 precision the product would reach the
    // truncation unrounded (1/24 day, 36,000,000,000 units, would lose one), and
    // an unmasked exception would fault on NaN or overflow.
    const FloatingPointDefaults floatingPoint;
    const double units = span * 864'000'000'000.0;
    // A product outside the 64-bit range (or NaN) has no defined conversion in C++;
    // give it the value the processor's truncation produces, 0x8000000000000000,
    // and let the historian reject the absurd duration.
    int64_t value = INT64_MIN;
    if (units > -9223372036854775808.0 && units < 9223372036854775808.0)
        value = static_cast<int64_t>(units);  // truncates toward zero
    return FileTimeOf(value);
}

HdaTimePair::~HdaTimePair() {
    FreeText(&start_);
    FreeText(&end_);
}

void HdaTimePair::WriteBack(VARIANT* startTime, VARIANT* endTime, const CallZone& zone) const {
    HdaTimeToTimeArg(&start_, startTime, zone);
    if (endTime) HdaTimeToTimeArg(&end_, endTime, zone);
}
