// The historian's data callback, driven the way a historian calls it (and the
// way a misbehaving one does): each callback raises exactly its own event with
// its own arguments, histories for succeeded items only, arrays with lower
// bound 1; histories outlive the event in handlers that keep them; a handler
// may drop the last reference to the server object; broken input from the
// historian never crashes and never reaches a client undefined.
#include "event_sink.h"

#include <functional>

#include "opc_hda.h"
#include "support/com_test.h"

namespace eventtest {
namespace {

constexpr HRESULT kNoData = 0x40041002;         // OPCHDANoData
constexpr HRESULT kInvalidHandle = 0xC0040001;  // OPC_E_INVALIDHANDLE

// One item's worth of historian data, kept alive for the call.
struct ItemData {
    std::vector<FILETIME> times;
    std::vector<VARIANT> values;
    std::vector<DWORD> qualities;
    std::vector<FILETIME> modified;
    std::vector<OPCHDA_EDITTYPE> edits;
    std::vector<LPWSTR> texts;
    explicit ItemData(std::vector<double> v) {
        for (size_t k = 0; k < v.size(); ++k) {
            times.push_back(FILETIME{static_cast<DWORD>(k + 1) * 10000000u, 0x01DB0000});
            VARIANT x;
            VariantInit(&x);
            V_VT(&x) = VT_R8;
            V_R8(&x) = v[k];
            values.push_back(x);
            qualities.push_back(0xC0);
            modified.push_back(times.back());
            edits.push_back(OPCHDA_INSERT);
            texts.push_back(const_cast<LPWSTR>(L"note"));
        }
    }
    DWORD n() const { return static_cast<DWORD>(values.size()); }
    OPCHDA_ITEM Item(OPCHANDLE h, DWORD aggregate) {
        return {h, aggregate, n(), times.data(), qualities.data(), values.data()};
    }
    OPCHDA_MODIFIEDITEM Modified(OPCHANDLE h) {
        return {h, n(), times.data(), qualities.data(), values.data(), modified.data(), edits.data(), texts.data()};
    }
    OPCHDA_ATTRIBUTE Attribute(DWORD id) { return {0, n(), id, times.data(), values.data()}; }
    OPCHDA_ANNOTATION Annotation(OPCHANDLE h) {
        return {h, n(), times.data(), texts.data(), modified.data(), texts.data()};
    }
};

class DataCallbackTest : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(server_));
        ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IOPCHDA_DataCallback, callback_));
        sink_ = EventSink::Make(DIID__IOPCHDAItemEvents);
        cookie_ = Advise(server_.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(sink_.get()));
        ASSERT_NE(cookie_, 0u);
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(Unadvise(server_.get(), DIID__IOPCHDAItemEvents, cookie_), S_OK);
        }
        sink_->kept.clear();
        callback_ = nullptr;
        server_ = nullptr;
        ComTest::TearDown();
    }
    Event Only() {
        std::vector<Event> all = sink_->Events();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Event{} : all[0];
    }

    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDA_DataCallback> callback_;
    ComPtr<EventSink> sink_;
    DWORD cookie_ = 0;
};

// Two items, the second failed; every callback with values.
struct Row {
    const char* name;
    DISPID id;
    const char* shape;  // per argument: I long, L long array, V variant array
    std::function<HRESULT(IOPCHDA_DataCallback*, DWORD tid, HRESULT status, ItemData&, ItemData&, HRESULT*)> call;
    bool aggregates;
};

const Row kRows[] = {
    {"OnDataChange", 1, "IIILLVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_ITEM items[] = {a.Item(11, 2), b.Item(12, 3)};
         return c->OnDataChange(tid, st, 2, items, codes);
     },
     true},
    {"OnReadComplete", 2, "IIILLVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_ITEM items[] = {a.Item(11, 2), b.Item(12, 3)};
         return c->OnReadComplete(tid, st, 2, items, codes);
     },
     true},
    {"OnReadModifiedComplete", 3, "IIILVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_MODIFIEDITEM items[] = {a.Modified(11), b.Modified(12)};
         return c->OnReadModifiedComplete(tid, st, 2, items, codes);
     },
     false},
    {"OnReadAttributeComplete", 4, "IIIILVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_ATTRIBUTE items[] = {a.Attribute(11), b.Attribute(12)};
         return c->OnReadAttributeComplete(tid, st, 99, 2, items, codes);
     },
     false},
    {"OnReadAnnotations", 5, "IIILVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_ANNOTATION items[] = {a.Annotation(11), b.Annotation(12)};
         return c->OnReadAnnotations(tid, st, 2, items, codes);
     },
     false},
    {"OnInsertAnnotations", 6, "IIILL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData&, ItemData&, HRESULT* codes) {
         OPCHANDLE handles[] = {11, 12};
         return c->OnInsertAnnotations(tid, st, 2, handles, codes);
     },
     false},
    {"OnPlayback", 7, "IIILLVL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData& a, ItemData& b, HRESULT* codes) {
         OPCHDA_ITEM first = a.Item(11, 2), second = b.Item(12, 3);
         OPCHDA_ITEM* items[] = {&first, &second};
         return c->OnPlayback(tid, st, 2, items, codes);
     },
     true},
    {"OnUpdateComplete", 8, "IIILL",
     [](IOPCHDA_DataCallback* c, DWORD tid, HRESULT st, ItemData&, ItemData&, HRESULT* codes) {
         OPCHANDLE handles[] = {11, 12};
         return c->OnUpdateComplete(tid, st, 2, handles, codes);
     },
     false},
};

TEST_F(DataCallbackTest, EveryCallbackRaisesItsOwnEventWithItsOwnArguments) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        ItemData a({1.5, 2.5, 3.5}), b({9.0});
        // Transaction 0 and a failure status pass unchanged, as any other.
        for (auto [tid, status] : {std::pair<DWORD, HRESULT>{0, S_OK}, {0xFFFFFFF0u, E_FAIL}}) {
            size_t before = sink_->Count();
            HRESULT codes[] = {S_OK, kInvalidHandle};
            ASSERT_EQ(row.call(callback_.get(), tid, status, a, b, codes), S_OK);
            ASSERT_EQ(sink_->Count(), before + 1);
            Event e = sink_->Events().back();
            EXPECT_EQ(e.id, row.id);
            std::string shape = row.shape;
            ASSERT_EQ(e.args.size(), shape.size());
            for (size_t k = 0; k < shape.size(); ++k) {
                VARTYPE expected = shape[k] == 'I'   ? VT_I4
                                   : shape[k] == 'L' ? (VT_ARRAY | VT_I4)
                                                     : (VT_ARRAY | VT_VARIANT);
                EXPECT_EQ(e.args[k].vt, expected) << "argument " << k;
                if (shape[k] != 'I') {
                    EXPECT_EQ(e.args[k].lower, 1) << "argument " << k;
                }
            }
            EXPECT_EQ(static_cast<DWORD>(e.Long(0)), tid);
            EXPECT_EQ(e.Long(1), status);
            bool attributes = row.id == 4;
            if (attributes) {
                EXPECT_EQ(e.Long(2), 99);  // the item's handle, once
            }
            size_t first = attributes ? 3 : 2;
            EXPECT_EQ(e.Long(first), 2);
            EXPECT_EQ(e.args[first + 1].longs, (std::vector<LONG>{11, 12}));  // handles or attribute IDs
            if (row.aggregates) {
                EXPECT_EQ(e.args[first + 2].longs, (std::vector<LONG>{2, 3}));
            }
            const Arg& errors = e.args.back();
            EXPECT_EQ(errors.longs, (std::vector<LONG>{S_OK, kInvalidHandle}));
            if (shape.find('V') == std::string::npos) continue;
            const Arg& values = e.args[shape.find('V')];
            EXPECT_EQ(values.types, (std::vector<VARTYPE>{VT_DISPATCH, VT_EMPTY}));
            ASSERT_EQ(values.histories.at(0).size(), 3u);
            if (row.id != 5) {
                EXPECT_EQ(values.histories[0], (std::vector<double>{1.5, 2.5, 3.5}));
            }
        }
    }
}

TEST_F(DataCallbackTest, NoDataGivesAnEmptyHistoryAndCountZeroGivesEmptyArrays) {
    ItemData none({});
    OPCHDA_ITEM item = none.Item(5, 0);
    HRESULT code = kNoData;
    EXPECT_EQ(callback_->OnReadComplete(1, S_OK, 1, &item, &code), S_OK);
    EXPECT_EQ(callback_->OnDataChange(2, S_OK, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(callback_->OnUpdateComplete(3, S_OK, 0, nullptr, nullptr), S_OK);
    std::vector<Event> all = sink_->Events();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].args[5].types, (std::vector<VARTYPE>{VT_DISPATCH}));
    EXPECT_EQ(all[0].args[5].histories[0], (std::vector<double>{}));
    EXPECT_EQ(all[0].args[6].longs, (std::vector<LONG>{kNoData}));
    for (const Event& e : {all[1], all[2]}) {
        EXPECT_EQ(e.Long(2), 0);
        for (size_t k = 3; k < e.args.size(); ++k) {
            EXPECT_EQ(e.args[k].lower, 1);
            EXPECT_TRUE(e.args[k].longs.empty() && e.args[k].types.empty());
        }
    }
}

TEST_F(DataCallbackTest, KeptHistoriesOutliveTheEvent) {
    sink_->keepHistories = true;
    ItemData a({4.0, 5.0});
    OPCHDA_ITEM item = a.Item(1, 0);
    HRESULT code = S_OK;
    EXPECT_EQ(callback_->OnDataChange(1, S_OK, 1, &item, &code), S_OK);
    ASSERT_EQ(sink_->kept.size(), 1u);
    // The historian's memory may go at once: the history holds copies.
    a = ItemData({});
    EXPECT_EQ(HistoryValues(sink_->kept[0].get()), (std::vector<double>{4.0, 5.0}));
}

TEST_F(DataCallbackTest, AHistoryThatCannotBeMadeIsReportedInErrors) {
    ItemData a({1.0});
    // No memory for four billion values: the history cannot be made.
    OPCHDA_ITEM items[] = {a.Item(1, 0), {2, 0, 0xFFFFFFFFu, nullptr, nullptr, nullptr}};
    HRESULT codes[] = {S_OK, S_OK};
    EXPECT_EQ(callback_->OnDataChange(1, S_OK, 2, items, codes), S_OK);
    Event e = Only();
    EXPECT_EQ(e.args[5].types, (std::vector<VARTYPE>{VT_DISPATCH, VT_EMPTY}));
    EXPECT_EQ(e.args[6].longs, (std::vector<LONG>{S_OK, E_OUTOFMEMORY}));
    EXPECT_EQ(e.args[3].longs, (std::vector<LONG>{1, 2}));
}

TEST_F(DataCallbackTest, BrokenHistorianInputNeverReachesAClientUndefined) {
    ItemData a({1.0});
    OPCHDA_ITEM item = a.Item(7, 4);
    HRESULT ok[] = {S_OK, S_OK};
    HRESULT failedSecond[] = {S_OK, kInvalidHandle};
    // Null item array, null error array, a null pointer inside a playback slice.
    EXPECT_EQ(callback_->OnDataChange(1, S_OK, 2, nullptr, ok), S_OK);
    EXPECT_EQ(callback_->OnReadComplete(2, S_OK, 1, &item, nullptr), S_OK);
    OPCHDA_ITEM* slice[] = {&item, nullptr};
    EXPECT_EQ(callback_->OnPlayback(3, S_OK, 2, slice, failedSecond), S_OK);
    EXPECT_EQ(callback_->OnPlayback(4, S_OK, 2, nullptr, nullptr), S_OK);
    EXPECT_EQ(callback_->OnUpdateComplete(5, S_OK, 2, nullptr, failedSecond), S_OK);
    EXPECT_EQ(callback_->OnInsertAnnotations(6, S_OK, 1, nullptr, nullptr), S_OK);
    EXPECT_EQ(callback_->OnReadModifiedComplete(7, S_OK, 1, nullptr, ok), S_OK);
    EXPECT_EQ(callback_->OnReadAttributeComplete(8, S_OK, 1, 1, nullptr, ok), S_OK);
    EXPECT_EQ(callback_->OnReadAnnotations(9, S_OK, 1, nullptr, ok), S_OK);
    std::vector<Event> all = sink_->Events();
    ASSERT_EQ(all.size(), 9u);
    struct Expect {
        std::vector<LONG> handles;
        std::vector<VARTYPE> values;  // empty for events without values
        std::vector<LONG> errors;
    } expected[] = {
        {{0, 0}, {VT_EMPTY, VT_EMPTY}, {E_POINTER, E_POINTER}},
        {{7}, {VT_EMPTY}, {E_POINTER}},
        {{7, 0}, {VT_DISPATCH, VT_EMPTY}, {S_OK, kInvalidHandle}},  // the historian's own code stands
        {{0, 0}, {VT_EMPTY, VT_EMPTY}, {E_POINTER, E_POINTER}},
        {{0, 0}, {}, {E_POINTER, kInvalidHandle}},
        {{0}, {}, {E_POINTER}},
        {{0}, {VT_EMPTY}, {E_POINTER}},
        {{0}, {VT_EMPTY}, {E_POINTER}},
        {{0}, {VT_EMPTY}, {E_POINTER}},
    };
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        const Event& e = all[i];
        size_t handles = e.id == 4 ? 4 : 3;
        EXPECT_EQ(e.args[handles].longs, expected[i].handles);
        if (!expected[i].values.empty()) {
            EXPECT_EQ(e.args[e.args.size() - 2].types, expected[i].values);
        }
        EXPECT_EQ(e.args.back().longs, expected[i].errors);
    }
    // A count no array can hold raises nothing, and the historian is told.
    EXPECT_EQ(callback_->OnUpdateComplete(10, S_OK, 0x40000000u, nullptr, nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(callback_->OnDataChange(11, S_OK, 0xFFFFFFFFu, nullptr, nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(sink_->Count(), 9u);
}

TEST_F(DataCallbackTest, AHandlerMayReleaseTheServerInsideItsEvent) {
    // The handler drops the last reference while the callback runs, as a
    // client may when nothing but the historian's forwarding sink calls in.
    // The callback still completes its firing (a second sink gets the
    // event) and only then does the object go.
    ComPtr<EventSink> second = EventSink::Make(DIID__IOPCHDAItemEvents);
    ASSERT_NE(Advise(server_.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(second.get())), 0u);
    IOPCHDA_DataCallback* raw = callback_.detach();
    sink_->onEvent = [&](const Event&) {
        EXPECT_EQ(Unadvise(server_.get(), DIID__IOPCHDAItemEvents, cookie_), S_OK);
        server_ = nullptr;
        raw->Release();
    };
    ItemData a({1.0});
    OPCHDA_ITEM item = a.Item(1, 0);
    HRESULT code = S_OK;
    EXPECT_EQ(raw->OnDataChange(1, S_OK, 1, &item, &code), S_OK);
    sink_->onEvent = nullptr;
    EXPECT_EQ(second->Count(), 1u);
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace eventtest
