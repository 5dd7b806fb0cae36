// COPCHDAHistory: the values the historian returned for one item, kept in the
// historian's form (UTC file times, its own arrays) and handed out one element
// at a time as OPCHDAValue or OPCHDAEntry objects, converting the time only then.
//
// A history holds no memory of its own: it reads one element of an answer
// that its block (history/history_block.h) owns, shared with the histories of
// the answer's other elements. A synchronous read's answer belongs to the
// caller once the call returns, so the block takes it as it is; a callback's
// answer stays the historian's, so the callback copies it first
// (history/answer_copies.h) and the block takes the copy. PutHistories, at the
// end of this file, is the one way to put histories into result elements.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "opc/historian_answers.h"
#include "time/time_conversion.h"
#include "automation/type_info_holder.h"

class HistoryBlock;

// Filled once, then read-only: nothing to lock (a read of a thousand items
// makes a thousand histories, and a critical section costs two heap calls).
class COPCHDAHistory;
template <>
inline constexpr bool kHasObjectLock<COPCHDAHistory> = false;

// What a history reads of its answer element: the element's arrays (each may
// be null: zeros stand in for it) and the count the historian claimed.
struct HistoryView {
    DWORD count = 0;
    bool entries = false;
    bool annotations = false;  // values are texts, made into strings element by element
    DWORD absentQuality = 0;   // when the element sent no qualities
    LONG absentEditType = 0;   // when the element sent no edit types
    const FILETIME* timeStamps = nullptr;
    const VARIANT* values = nullptr;
    const LPWSTR* texts = nullptr;
    const DWORD* qualities = nullptr;
    const FILETIME* entryTimes = nullptr;
    const OPCHDA_EDITTYPE* editTypes = nullptr;
    const LPWSTR* users = nullptr;
};
HistoryView ViewOf(const OPCHDA_ITEM& answer);
HistoryView ViewOf(const OPCHDA_MODIFIEDITEM& answer);
HistoryView ViewOf(const OPCHDA_ATTRIBUTE& answer);
HistoryView ViewOf(const OPCHDA_ANNOTATION& answer);
// The claimed count, cut to what the arrays hold. Only for arrays that are
// task memory the history's block owns.
DWORD WalkableCount(const HistoryView& view);

class COPCHDAHistory final : public Implements<COPCHDAHistory, DispatchImpl<OPCHDAHistory>> {
public:
    static constexpr char kTraceName[] = "COPCHDAHistory";
    // Its block counts as the library's use, once for all its histories.
    static constexpr bool kCountsAsLiveObject = false;

    template <class Answer>
    COPCHDAHistory(HistoryBlock* block, const Answer& element) : block_(block) {
        Read(element);
    }

    // OPCHDAHistory
    STDMETHODIMP get_Count(LONG* pVal) override;
    STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
    STDMETHODIMP Item(VARIANT ItemSpecifier, OPCHDAValue** ppValue) override;

    // Fill a history that has its block to itself, before it is handed out,
    // with a copy of `source` (which may be freed as soon as the call
    // returns): S_OK, E_POINTER, E_OUTOFMEMORY (the history then stays as it
    // was), or E_UNEXPECTED for a history that shares its block. Virtual, in
    // this order, so that they hold the slots right after the dual
    // interface's members (tests/module/class_object_test.cpp).
    virtual HRESULT SetAnnotations(const OPCHDA_ANNOTATION* source);
    virtual HRESULT SetModifiedValues(const OPCHDA_MODIFIEDITEM* source);
    virtual HRESULT SetAttributeValues(const OPCHDA_ATTRIBUTE* source);
    virtual HRESULT SetItemValues(const OPCHDA_ITEM* source);

    // Its elements: the claimed count cut to what the arrays hold.
    DWORD Count() const;
    // A new value or entry object for 0-based element k (< Count()), its times
    // converted under `zone`. What Item and the enumerator hand out.
    HRESULT MakeElement(DWORD k, const CallZone& zone, OPCHDAValue** ppValue) const;

private:
    friend Implements;
    friend HistoryBlock;
    // Its last reference gone: the history leaves its block's storage.
    static void Dispose(COPCHDAHistory* history);
    template <class Answer>
    void Read(const Answer& element) {
        element_ = &element;
        viewOf_ = [](const void* e) { return ViewOf(*static_cast<const Answer*>(e)); };
        count_ = -1;
    }
    HistoryView View() const { return viewOf_(element_); }
    template <class Answer>
    HRESULT Refill(const Answer* source);
    // The 0-based element whose time stamp, as a local date, equals `key`; -1 if none.
    LONG FindByDate(DATE key, const CallZone& zone) const;

    // A history is small (a read of 1,000 items makes 1,000 of them in its
    // block): its element, and how to see the element's arrays.
    mutable LONG count_ = -1;  // Count(), once asked
    HistoryBlock* const block_;
    const void* element_ = nullptr;
    HistoryView (*viewOf_)(const void*) = nullptr;
};

// For every element k of `answer` (k < answer.count()) whose codes[k] is a
// success, writes a history of that element into elements[k] (VT_EMPTY
// before) as VT_DISPATCH holding its OPCHDAHistory interface, the only
// reference; the other elements are left alone. The histories share one
// block that takes `answer` whole (the holder is empty afterwards) and goes
// with the last of them. E_OUTOFMEMORY when the block cannot be had (nothing
// is taken or written), or when an element's count is more than a history can
// hold (Count is a LONG): that element stays VT_EMPTY, the others are made.
template <class Answer>
HRESULT PutHistories(HistorianAnswer<Answer>& answer, const HRESULT* codes, VARIANT* elements);

// A read's result array of histories: VT_VARIANT, one element per element of
// `answer`, filled by PutHistories. E_FAIL when the array cannot be made;
// on any failure `values` is null.
template <class Answer>
HRESULT MakeHistoryArray(HistorianAnswer<Answer>& answer, const HRESULT* codes, UniqueSafeArray& values);
