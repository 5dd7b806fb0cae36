// GetItemAttributes and GetAggregates: the catalogues from the simulator, the
// failures in the order of the checks, and a historian that answers badly.
#include "browse_fixture.h"
#include "fake_historian.h"

namespace browsertest {
namespace {

struct Catalogue {
    HRESULT hr = E_UNEXPECTED;
    LONG count = 77;  // untouched unless written
    UniqueSafeArray columns[4];
};

// Calls GetItemAttributes (four columns) or GetAggregates (three), with the
// out-pointer number `nullOutput` (0 = Count) replaced by null when >= 0.
Catalogue Read(IOPCHDAAutoServer* server, bool attributes, int nullOutput = -1) {
    Catalogue c;
    SAFEARRAY** outs[4];
    for (int i = 0; i < 4; ++i) outs[i] = c.columns[i].put();
    LONG* count = nullOutput == 0 ? nullptr : &c.count;
    for (int i = 1; i <= 4; ++i)
        if (nullOutput == i) outs[i - 1] = nullptr;
    c.hr = attributes ? server->GetItemAttributes(count, outs[0], outs[1], outs[2], outs[3])
                      : server->GetAggregates(count, outs[0], outs[1], outs[2]);
    return c;
}

void ExpectNoOutputs(const Catalogue& c) {
    EXPECT_EQ(c.count, 77);
    for (const auto& column : c.columns) EXPECT_FALSE(column);
}

void ExpectColumn(SAFEARRAY* column, VARTYPE vt, LONG count) {
    ASSERT_NE(column, nullptr);
    VARTYPE actual = VT_EMPTY;
    SafeArrayGetVartype(column, &actual);
    EXPECT_EQ(actual, vt);
    EXPECT_EQ(comtest::BoundsOf(column), std::make_pair(1L, count));
}

class Catalogues : public SimBrowse {};

TEST_P(Catalogues, AttributesAndAggregatesAsTheHistorianListsThem) {
    Catalogue attributes = Read(server_.get(), true);
    ASSERT_EQ(attributes.hr, S_OK);
    ASSERT_EQ(attributes.count, 19);
    ExpectColumn(attributes.columns[0].get(), VT_I4, 19);
    ExpectColumn(attributes.columns[1].get(), VT_BSTR, 19);
    ExpectColumn(attributes.columns[2].get(), VT_BSTR, 19);
    ExpectColumn(attributes.columns[3].get(), VT_I2, 19);
    EXPECT_EQ(comtest::LongAt(attributes.columns[0].get(), 13), kAttrItemID);
    EXPECT_EQ(Texts(attributes.columns[1].get())[12], L"ItemID");
    EXPECT_EQ(Texts(attributes.columns[2].get())[12], L"Item identifier");

    Catalogue aggregates = Read(server_.get(), false);
    ASSERT_EQ(aggregates.hr, S_OK);
    ASSERT_GT(aggregates.count, 10);
    ExpectColumn(aggregates.columns[0].get(), VT_I4, aggregates.count);
    ExpectColumn(aggregates.columns[1].get(), VT_BSTR, aggregates.count);
    ExpectColumn(aggregates.columns[2].get(), VT_BSTR, aggregates.count);
    EXPECT_FALSE(aggregates.columns[3]);
    EXPECT_EQ(comtest::LongAt(aggregates.columns[0].get(), 1), 1);  // Interpolative
    EXPECT_EQ(Texts(aggregates.columns[1].get())[0], L"Interpolative");
}

TEST_P(Catalogues, FailureRowsInTheOrderOfTheChecks) {
    for (bool attributes : {true, false}) {
        SCOPED_TRACE(attributes ? "GetItemAttributes" : "GetAggregates");
        const wchar_t* method = attributes ? L"GetItemAttributes" : L"GetAggregates";
        const LONG calls = CallCount(method);
        // Every null out-pointer, before anything reaches the historian.
        for (int nullOutput = 0; nullOutput <= (attributes ? 4 : 3); ++nullOutput)
            EXPECT_EQ(Read(server_.get(), attributes, nullOutput).hr, E_POINTER) << nullOutput;
        EXPECT_EQ(CallCount(method), calls);
        // The historian's failure unchanged, nothing handed out.
        ASSERT_EQ(control_->FailMethod(method, kHistorianFailure), S_OK);
        Catalogue failed = Read(server_.get(), attributes);
        EXPECT_EQ(failed.hr, kHistorianFailure);
        ExpectNoOutputs(failed);
        control_->ClearFaults();
    }
    ASSERT_EQ(server_->Disconnect(), S_OK);
    for (bool attributes : {true, false}) {
        Catalogue disconnected = Read(server_.get(), attributes);
        EXPECT_EQ(disconnected.hr, E_FAIL);
        ExpectNoOutputs(disconnected);
        EXPECT_EQ(Read(server_.get(), attributes, 1).hr, E_POINTER);
    }
}

INSTANTIATE_TEST_SUITE_P(Browse, Catalogues, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

TEST_F(MisbehavingHistorian, CataloguesCopyEveryEntryAndFreeTheAnswer) {
    Connect();
    LONG count = 0;
    UniqueSafeArray ids, names, descriptions, types;
    ASSERT_EQ(server_->GetItemAttributes(&count, ids.put(), names.put(), descriptions.put(), types.put()), S_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Longs(ids.get()), (std::vector<LONG>{100, 101, 102}));
    EXPECT_EQ(Texts(names.get()), (std::vector<std::wstring>{L"Name1", L"Name2", L"Name3"}));
    EXPECT_EQ(Texts(descriptions.get())[2], L"Description3");
    SHORT type = 0;
    LONG index = 3;
    SafeArrayGetElement(types.get(), &index, &type);
    EXPECT_EQ(type, VT_I2 + 2);
    // A null name arrives as an empty text.
    Script().nullCatalogueName = true;
    ASSERT_EQ(server_->GetAggregates(&count, ids.put(), names.put(), descriptions.put()), S_OK);
    EXPECT_EQ(Texts(names.get()), (std::vector<std::wstring>{L"Name1", L"", L"Name3"}));

    // No entries: four empty arrays with lower bound 1, and the historian's code.
    Script().catalogueCount = 0;
    Script().catalogueResult = S_FALSE;
    ASSERT_EQ(server_->GetItemAttributes(&count, ids.put(), names.put(), descriptions.put(), types.put()), S_FALSE);
    EXPECT_EQ(count, 0);
    for (SAFEARRAY* column : {ids.get(), names.get(), descriptions.get(), types.get()})
        EXPECT_EQ(comtest::BoundsOf(column), std::make_pair(1L, 0L));
}

// A count without arrays, or arrays that cannot be made: E_FAIL, no
// outputs, Count untouched, the historian's blocks freed.
TEST_F(MisbehavingHistorian, AnAnswerThatCannotBeHandedOnGivesNothing) {
    Connect();
    for (bool FakeScript::*fault : {&FakeScript::catalogueArraysMissing, &FakeScript::failAfterAnswer}) {
        Script().*fault = true;
        LONG count = 77;
        SAFEARRAY* columns[4] = {};
        EXPECT_EQ(server_->GetItemAttributes(&count, &columns[0], &columns[1], &columns[2], &columns[3]), E_FAIL);
        EXPECT_EQ(server_->GetAggregates(&count, &columns[0], &columns[1], &columns[2]), E_FAIL);
        EXPECT_EQ(count, 77);
        for (SAFEARRAY* column : columns) EXPECT_EQ(column, nullptr);
        Script().*fault = false;
    }
}

}  // namespace
}  // namespace browsertest
