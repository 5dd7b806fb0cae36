// Walking the simulated plant with an OPCHDABrowser (positions, listings,
// moves, item identifiers, a browser that outlives its server object); and
// over a fake browse object: batches, misbehaviour, every historian failure.
#include "browse_fixture.h"
#include "fake_historian.h"

#include "browser/COPCHDABrowser.h"

namespace browsertest {
namespace {

using comtest::VarBstr;

class Browsing : public SimBrowse {};

HRESULT MoveTo(OPCHDABrowser* browser, const wchar_t* position) { return browser->MoveTo(UniqueBstr(position).get()); }

TEST_P(Browsing, WalksThePlantAndResolvesItemIDs) {
    ComPtr<OPCHDABrowser> browser = Browse({});
    ASSERT_TRUE(browser);
    EXPECT_EQ(Position(browser.get()), L"");
    Listing root = List(browser.get(), Kind::Branches);
    EXPECT_EQ(root.hr, S_FALSE);
    EXPECT_EQ(root.names, (std::vector<std::wstring>{L"Plant"}));
    EXPECT_EQ(root.lower, 1);

    ASSERT_EQ(browser->MoveDown(UniqueBstr(L"Plant").get()), S_OK);
    EXPECT_EQ(List(browser.get(), Kind::Branches).names,
              (std::vector<std::wstring>{L"Lab", L"Area1", L"Area2", L"Area3", L"Utilities", L"Spare"}));
    ASSERT_EQ(browser->MoveDown(UniqueBstr(L"Area1").get()), S_OK);
    ASSERT_EQ(browser->MoveDown(UniqueBstr(L"Reactor1").get()), S_OK);
    EXPECT_EQ(Position(browser.get()), L"Plant/Area1/Reactor1");
    Listing leaves = List(browser.get(), Kind::Leaves);
    EXPECT_EQ(leaves.hr, S_FALSE);
    ASSERT_EQ(leaves.names.size(), 7u);
    EXPECT_EQ(leaves.names[0], L"Temperature");
    EXPECT_EQ(List(browser.get(), Kind::Items).names[0], L"Plant/Area1/Reactor1/Temperature");
    UniqueBstr itemID;
    ASSERT_EQ(browser->GetItemID(UniqueBstr(L"Pressure").get(), itemID.put()), S_OK);
    EXPECT_STREQ(itemID.get(), L"Plant/Area1/Reactor1/Pressure");
    // The resolved identifier is what AddItem takes.
    ComPtr<IOPCHDAItems> items;
    ASSERT_EQ(server_->get_OPCHDAItems(items.put()), S_OK);
    ComPtr<OPCHDAItem> item;
    EXPECT_EQ(items->AddItem(itemID.get(), 1, item.put()), S_OK);

    // A rejected move leaves the position where the historian keeps it.
    EXPECT_EQ(browser->MoveDown(UniqueBstr(L"Nowhere").get()), E_INVALIDARG);
    EXPECT_EQ(Position(browser.get()), L"Plant/Area1/Reactor1");
    ASSERT_EQ(browser->MoveUp(), S_OK);
    EXPECT_EQ(Position(browser.get()), L"Plant/Area1");
    ASSERT_EQ(browser->MoveToRoot(), S_OK);
    EXPECT_EQ(Position(browser.get()), L"");
    EXPECT_EQ(browser->MoveUp(), E_FAIL);  // the simulator's answer above the root

    EXPECT_EQ(browser->GetItemID(UniqueBstr(L"Pressure").get(), nullptr), E_POINTER);
    EXPECT_EQ(browser->get_CurrentPosition(nullptr), E_POINTER);
    EXPECT_EQ(browser->get_OPCHDALeaves(nullptr), E_POINTER);
}

TEST_P(Browsing, WorksOnAfterDisconnectAndTheServersRelease) {
    ComPtr<OPCHDABrowser> browser = Browse({{kAttrItemID, kEqual, VarBstr(L"*/Temperature")}});
    ASSERT_EQ(server_->Disconnect(), S_OK);
    ASSERT_EQ(MoveTo(browser.get(), L"Plant/Area2/Tank1"), S_OK);
    EXPECT_EQ(List(browser.get(), Kind::Items).names, (std::vector<std::wstring>{L"Plant/Area2/Tank1/Temperature"}));
    server_ = nullptr;
    ASSERT_EQ(browser->MoveUp(), S_OK);
    EXPECT_EQ(List(browser.get(), Kind::Branches).names, (std::vector<std::wstring>{L"Reactor1", L"Tank1"}));
    EXPECT_NE(comtest::LibraryCanUnloadNow(), S_OK);  // the browser is alive
}

INSTANTIATE_TEST_SUITE_P(Browse, Browsing, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

class OverAFake : public MisbehavingHistorian {
protected:
    // A browser made directly over a fake browse object (or none).
    void Attach(bool withHistorianBrowser = true) {
        ComPtr<IOPCHDA_Browser> fake = withHistorianBrowser ? NewFakeBrowser() : nullptr;
        ASSERT_EQ(COPCHDABrowser::Create(fake.get(), browser_.put()), S_OK);
    }
};

TEST_F(OverAFake, NamesAreAskedInBatchesOfAHundred) {
    Attach();
    struct Row {
        size_t names;
        std::vector<ULONG> requests;
    } rows[] = {{0, {100}}, {100, {100, 100}}, {250, {100, 100, 100}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.names);
        Names(row.names);
        Script().nextRequests.clear();
        Listing leaves = List(browser_.get(), Kind::Leaves);
        EXPECT_EQ(leaves.hr, S_FALSE);
        EXPECT_EQ(Script().nextRequests, row.requests);
        ASSERT_EQ(leaves.names.size(), row.names);
        for (size_t i = 0; i < row.names; ++i) ASSERT_EQ(leaves.names[i], *Script().names[i]);
    }
}

// A Next that fails part-way, or an array that cannot be made: the failure,
// the client's value kept, every name received freed (checked at the end).
TEST_F(OverAFake, AFailedListingLeavesTheClientsValue) {
    Attach();
    Names(250);
    const struct {
        bool FakeScript::*fault;
        HRESULT expected;
    } rows[] = {{nullptr, E_UNEXPECTED}, {&FakeScript::failAfterAnswer, E_FAIL}};
    Script().failingNext = 2;
    for (const auto& row : rows) {
        if (row.fault) {
            Script().failingNext = 0;
            Script().*row.fault = true;
        }
        UniqueVariant names;
        names->vt = VT_I4;
        names->lVal = 7;
        EXPECT_EQ(browser_->get_OPCHDAItems(names.get()), row.expected);
        EXPECT_EQ(names->vt, VT_I4);
        EXPECT_EQ(names->lVal, 7);
    }
}

TEST_F(OverAFake, NoEnumeratorIsAnEmptyListingAndNullNamesAreDropped) {
    Attach();
    Script().giveEnumerator = false;
    Script().getEnumResult = S_FALSE;
    Listing none = List(browser_.get(), Kind::Branches);
    EXPECT_EQ(none.hr, S_FALSE);
    EXPECT_EQ(none.vt, VT_ARRAY | VT_BSTR);
    EXPECT_EQ(none.upper, 0);

    Script().giveEnumerator = true;
    Script().getEnumResult = S_OK;
    Script().names = {L"A", std::nullopt, L"B"};
    Listing leaves = List(browser_.get(), Kind::Leaves);
    EXPECT_EQ(leaves.hr, S_FALSE);
    EXPECT_EQ(leaves.names, (std::vector<std::wstring>{L"A", L"B"}));
}

TEST_F(OverAFake, EveryHistorianFailurePassesUnchanged) {
    Attach();
    Script().historianCallResult = kRefused;
    Script().getEnumResult = kRefused;
    UniqueBstr text(L"old");
    BSTR raw = text.get();
    EXPECT_EQ(browser_->get_CurrentPosition(&raw), kRefused);
    EXPECT_EQ(raw, nullptr);
    raw = text.get();
    EXPECT_EQ(browser_->GetItemID(UniqueBstr(L"X").get(), &raw), kRefused);
    EXPECT_EQ(raw, nullptr);
    UniqueVariant names;
    names->vt = VT_I4;
    EXPECT_EQ(browser_->get_OPCHDABranches(names.get()), kRefused);
    EXPECT_EQ(names->vt, VT_I4);
    EXPECT_EQ(browser_->MoveUp(), kRefused);
    EXPECT_EQ(browser_->MoveToRoot(), kRefused);
    EXPECT_EQ(browser_->MoveDown(UniqueBstr(L"Y").get()), kRefused);
    EXPECT_EQ(browser_->MoveTo(nullptr), kRefused);
    // Up and to the root send a zero-length name; the client's names go as given.
    const auto& moves = Script().moves;
    ASSERT_EQ(moves.size(), 4u);
    EXPECT_EQ(moves[0].direction, OPCHDA_BROWSE_UP);
    EXPECT_FALSE(moves[0].nullText);
    EXPECT_EQ(moves[0].text, L"");
    EXPECT_EQ(moves[1].direction, OPCHDA_BROWSE_DIRECT);
    EXPECT_FALSE(moves[1].nullText);
    EXPECT_EQ(moves[2].direction, OPCHDA_BROWSE_DOWN);
    EXPECT_EQ(moves[2].text, L"Y");
    EXPECT_EQ(moves[3].direction, OPCHDA_BROWSE_DIRECT);
    EXPECT_TRUE(moves[3].nullText);
}

TEST_F(OverAFake, WithoutAHistorianBrowserEveryMemberFails) {
    Attach(false);
    BSTR text = SysAllocString(L"old");
    BSTR kept = text;
    EXPECT_EQ(browser_->get_CurrentPosition(&text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    SysFreeString(kept);
    UniqueVariant names;
    names->vt = VT_I4;
    EXPECT_EQ(browser_->get_OPCHDALeaves(names.get()), E_FAIL);
    EXPECT_EQ(names->vt, VT_I4);
    EXPECT_EQ(browser_->MoveUp(), E_FAIL);
    EXPECT_EQ(browser_->MoveTo(UniqueBstr(L"Z").get()), E_FAIL);
    EXPECT_EQ(browser_->GetItemID(nullptr, nullptr), E_POINTER);
}

}  // namespace
}  // namespace browsertest
