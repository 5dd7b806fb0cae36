#include "export/csv_format.h"

#include <charconv>
#include <cstdio>
#include <iterator>

#include "com/com_holders.h"

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

namespace {

template <class Number>
std::string Shortest(Number n) {
    char buffer[32];
    auto [end, ec] = std::to_chars(std::begin(buffer), std::end(buffer), n);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace

std::string FormatValue(const VARIANT& value) {
    switch (V_VT(&value)) {
        case VT_EMPTY:
        case VT_NULL: return {};
        case VT_BOOL: return V_BOOL(&value) ? "true" : "false";
        case VT_R8: return Shortest(V_R8(&value));
        case VT_R4: return Shortest(V_R4(&value));
        case VT_I1: return Shortest(static_cast<int>(V_I1(&value)));
        case VT_I2: return Shortest(V_I2(&value));
        case VT_I4:
        case VT_INT: return Shortest(static_cast<long>(V_I4(&value)));
        case VT_I8: return Shortest(V_I8(&value));
        case VT_UI1: return Shortest(static_cast<unsigned>(V_UI1(&value)));
        case VT_UI2: return Shortest(static_cast<unsigned>(V_UI2(&value)));
        case VT_UI4:
        case VT_UINT: return Shortest(static_cast<unsigned long>(V_UI4(&value)));
        case VT_UI8: return Shortest(V_UI8(&value));
        case VT_BSTR: return V_BSTR(&value) ? Utf8(std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)))) : "";
        case VT_ERROR: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(V_ERROR(&value)));
            return text;
        }
        default: {
            // Dates, currency, decimals: the runtime's text in the invariant
            // locale, so that the decimal point does not follow the machine.
            UniqueVariant text;
            if (FAILED(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR)))
                return "(type " + std::to_string(V_VT(&value)) + ")";
            return FormatValue(*text.get());
        }
    }
}

std::string QualityText(DWORD quality) {
    struct Name {
        DWORD bits;
        const char* text;
    };
    // OPC DA: quality in bits 7-6, substatus in bits 5-2, limit in bits 1-0.
    static constexpr Name kStatus[] = {
        {0x00, "Bad"},
        {0x04, "Bad: Configuration Error"},
        {0x08, "Bad: Not Connected"},
        {0x0C, "Bad: Device Failure"},
        {0x10, "Bad: Sensor Failure"},
        {0x14, "Bad: Last Known Value"},
        {0x18, "Bad: Comm Failure"},
        {0x1C, "Bad: Out of Service"},
        {0x20, "Bad: Waiting for Initial Data"},
        {0x40, "Uncertain"},
        {0x44, "Uncertain: Last Usable Value"},
        {0x50, "Uncertain: Sensor Not Accurate"},
        {0x54, "Uncertain: EU Units Exceeded"},
        {0x58, "Uncertain: Sub-Normal"},
        {0xC0, "Good"},
        {0xD8, "Good: Local Override"},
    };
    static constexpr const char* kLimit[] = {"", ", Low Limited", ", High Limited", ", Constant"};
    static constexpr Name kHistorian[] = {
        {0x00010000, "ExtraData"},  {0x00020000, "Interpolated"}, {0x00040000, "Raw"},
        {0x00080000, "Calculated"}, {0x00100000, "NoBound"},      {0x00200000, "NoData"},
        {0x00400000, "DataLost"},   {0x00800000, "Conversion"},
    };
    const DWORD status = quality & 0xFC;
    std::string text;
    for (const Name& n : kStatus)
        if (n.bits == status) text = n.text;
    if (text.empty()) {
        // Substatus values without a name keep their quality's word and the number.
        const char* word = (status & 0xC0) == 0xC0 ? "Good" : (status & 0xC0) == 0x40 ? "Uncertain"
                           : (status & 0xC0) == 0x00 ? "Bad" : "Not Used";
        char rest[32];
        std::snprintf(rest, sizeof rest, "%s: substatus %lu", word, static_cast<unsigned long>((status >> 2) & 0xF));
        text = rest;
    }
    text += kLimit[quality & 0x3];
    for (const Name& n : kHistorian)
        if (quality & n.bits) text += std::string(" | ") + n.text;
    return text;
}

const char* CodeName(HRESULT code) {
    struct Name {
        DWORD code;
        const char* name;
    };
    static constexpr Name kNames[] = {
        {0xC0040001, "OPC_E_INVALIDHANDLE"},    {0xC0040007, "OPC_E_UNKNOWNITEMID"},
        {0xC0040008, "OPC_E_INVALIDITEMID"},    {0xC0041001, "OPC_E_MAXEXCEEDED"},
        {0x40041002, "OPC_S_NODATA"},           {0x40041003, "OPC_S_MOREDATA"},
        {0xC0041004, "OPC_E_INVALIDAGGREGATE"}, {0x40041005, "OPC_S_CURRENTVALUE"},
        {0x40041006, "OPC_S_EXTRADATA"},        {0x80041007, "OPC_W_NOFILTER"},
        {0xC0041008, "OPC_E_UNKNOWNATTRID"},    {0xC0041009, "OPC_E_NOT_AVAIL"},
        {0xC004100A, "OPC_E_INVALIDDATATYPE"},  {0xC004100B, "OPC_E_DATAEXISTS"},
        {0xC004100C, "OPC_E_INVALIDATTRID"},    {0xC004100D, "OPC_E_NODATAEXISTS"},
        {0x4004100E, "OPC_S_INSERTED"},         {0x4004100F, "OPC_S_REPLACED"},
    };
    for (const Name& n : kNames)
        if (n.code == static_cast<DWORD>(code)) return n.name;
    return "";
}

std::string CsvField(std::string_view text, std::string_view separator) {
    if (text.find_first_of("\"\r\n") == std::string_view::npos && text.find(separator) == std::string_view::npos)
        return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}
