// Every interface, event interface, class and member of the registered type
// library carries a help string: it is what VBA's object browser, IntelliSense
// and OLE viewers show, and an empty one shows nothing at all. Read through
// LoadRegTypeLib, as those tools do, so that a stale registration fails too.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "support/com_test.h"

namespace {

struct TypeRow {
    const wchar_t* name;
    UINT members;  // own members (a dual interface's vtable half; a dispinterface's events)
};

// Every type of the library but the enumerations; a type missing here or in the
// library fails below.
constexpr TypeRow kTypes[] = {
    {L"IOPCHDAAutoServer", 38},
    {L"IOPCHDAItems", 42},
    {L"OPCHDAItem", 9},
    {L"OPCHDABrowser", 9},
    {L"OPCHDAValue", 3},
    {L"OPCHDAEntry", 3},
    {L"OPCHDAHistory", 3},
    {L"_IOPCHDAAutoServerEvents", 1},
    {L"_IOPCHDAItemEvents", 9},
    {L"OPCHDAServer", 0},
    {L"OPCHDAItems", 0},
};

std::string Narrow(const wchar_t* s) {
    std::string out;
    for (; s && *s; ++s) out += static_cast<char>(*s < 128 ? *s : '?');
    return out;
}

// Name and help of one member (MEMBERID_NIL: the type itself).
std::pair<std::string, std::string> Documentation(ITypeInfo* info, MEMBERID id) {
    UniqueBstr name, help;
    if (FAILED(info->GetDocumentation(id, name.put(), help.put(), nullptr, nullptr))) return {"?", ""};
    return {Narrow(name.get()), Narrow(help.get())};
}

class HelpStrings : public comtest::ComTest {};

TEST_F(HelpStrings, EveryTypeAndMemberOfTheRegisteredLibraryHasOne) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, MAKELCID(0x0409, SORT_DEFAULT), lib.put()), S_OK);
    size_t seen = 0;
    for (UINT index = 0; index < lib->GetTypeInfoCount(); ++index) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(lib->GetTypeInfo(index, info.put()), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        const TYPEKIND kind = attr->typekind;
        const bool dual = attr->wTypeFlags & TYPEFLAG_FDUAL;
        info->ReleaseTypeAttr(attr);
        if (kind == TKIND_ENUM) continue;

        const std::string name = Documentation(info.get(), MEMBERID_NIL).first;
        SCOPED_TRACE(name);
        const TypeRow* row = nullptr;
        for (const TypeRow& r : kTypes)
            if (Narrow(r.name) == name) row = &r;
        ASSERT_NE(row, nullptr) << "a type the table does not know";
        ++seen;
        EXPECT_NE(Documentation(info.get(), MEMBERID_NIL).second, "");

        // A dual interface's own members are those of its vtable half.
        if (dual) {
            HREFTYPE ref = 0;
            ASSERT_EQ(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
            ComPtr<ITypeInfo> vtable;
            ASSERT_EQ(info->GetRefTypeInfo(ref, vtable.put()), S_OK);
            info = vtable;
        }
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        const UINT count = kind == TKIND_COCLASS ? 0 : attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        EXPECT_EQ(count, row->members);
        for (UINT k = 0; k < count; ++k) {
            FUNCDESC* f = nullptr;
            ASSERT_EQ(info->GetFuncDesc(k, &f), S_OK);
            const auto [member, help] = Documentation(info.get(), f->memid);
            info->ReleaseFuncDesc(f);
            EXPECT_NE(help, "") << member;
        }
    }
    EXPECT_EQ(seen, std::size(kTypes));
}

}  // namespace
