// The classes' own virtual operations hold fixed slots in their first virtual
// table, right after the members of the interface they implement first: the
// object base adds no slot of its own, and each operation is declared in its
// place.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "browser/COPCHDABrowser.h"
#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAHistory.h"
#include "history/COPCHDAValue.h"
#include "item/COPCHDAItem.h"
#include "server/COPCHDAAutoServer.h"

namespace {

// A pointer to a virtual member function holds 1 + its byte offset in the
// virtual table (the ABI GCC uses on Windows); anything else is no virtual.
template <class F>
ptrdiff_t SlotOf(F member) {
    struct Raw {
        ptrdiff_t pointer;
        ptrdiff_t adjustment;
    };
    static_assert(sizeof(F) == sizeof(Raw));
    Raw raw;
    std::memcpy(&raw, &member, sizeof raw);
    if (!(raw.pointer & 1) || raw.adjustment != 0) return -1;
    return (raw.pointer - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

constexpr ptrdiff_t kUnknown = 3;                  // QueryInterface, AddRef, Release
constexpr ptrdiff_t kDispatch = kUnknown + 4;      // GetTypeInfoCount .. Invoke

struct Slot {
    const char* operation;
    ptrdiff_t actual;
    ptrdiff_t expected;
};

TEST(VtableLayout, OwnOperationsFollowTheFirstInterface) {
    const Slot slots[] = {
        {"COPCHDAAutoServer::TimeArgToHdaTime", SlotOf(&COPCHDAAutoServer::TimeArgToHdaTime), kUnknown + 2},
        {"COPCHDAHistory::SetAnnotations", SlotOf(&COPCHDAHistory::SetAnnotations), kDispatch + 3},
        {"COPCHDAHistory::SetModifiedValues", SlotOf(&COPCHDAHistory::SetModifiedValues), kDispatch + 4},
        {"COPCHDAHistory::SetAttributeValues", SlotOf(&COPCHDAHistory::SetAttributeValues), kDispatch + 5},
        {"COPCHDAHistory::SetItemValues", SlotOf(&COPCHDAHistory::SetItemValues), kDispatch + 6},
        {"COPCHDAEnumHistory::Init", SlotOf(&COPCHDAEnumHistory::Init), kUnknown + 4},
        {"COPCHDAValue::SetValue", SlotOf(&COPCHDAValue::SetValue), kDispatch + 3},
        {"COPCHDAEntry::SetEntry", SlotOf(&COPCHDAEntry::SetEntry), kDispatch + 6},
        {"COPCHDAItem::Initialize", SlotOf(&COPCHDAItem::Initialize), kDispatch + 9},
        {"COPCHDABrowser::AttachBrowser", SlotOf(&COPCHDABrowser::AttachBrowser), kDispatch + 9},
    };
    for (const Slot& s : slots) EXPECT_EQ(s.actual, s.expected) << s.operation;
}

}  // namespace
