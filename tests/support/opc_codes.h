// The OPC codes the tests meet, by their names.
#pragma once

#include <windows.h>

namespace comtest {

inline constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
inline constexpr HRESULT kUnknownItemID = static_cast<HRESULT>(0xC0040007);
inline constexpr HRESULT kInvalidItemId = static_cast<HRESULT>(0xC0040008);
inline constexpr HRESULT kDataExists = static_cast<HRESULT>(0xC004100B);
inline constexpr HRESULT kInvalidAttrID = static_cast<HRESULT>(0xC004100C);
inline constexpr HRESULT kNoDataExists = static_cast<HRESULT>(0xC004100D);
inline constexpr HRESULT kNoData = static_cast<HRESULT>(0x40041002);
inline constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);
inline constexpr HRESULT kInserted = static_cast<HRESULT>(0x4004100E);
// Failures of a historian's own, which the component passes on unchanged.
inline constexpr HRESULT kHistorianRefuses = static_cast<HRESULT>(0x80041234);

}  // namespace comtest
