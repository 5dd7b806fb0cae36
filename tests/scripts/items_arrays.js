// items_arrays.vbs in JScript: the same calls with JScript arrays (element 0
// left out: the members read elements 1 to the count) and JScript arrays that
// receive the outputs, printing the same lines.
var second = 1 / 86400;
var T0 = 45810 + 10 / 24;              // dates as numbers: the same local dates as the VBScript's
var T1 = 45000 + 3 / 24 + 5 / 86400;

function hex(n) { return (n >>> 0).toString(16).toUpperCase(); }
function code(e) { return hex(e.number); }
function codes(a, n) {
    var s = [];
    for (var i = 1; i <= n; i++) s.push(hex(a[i]));
    return s.join(",");
}
// A date that came back, as a local date number.
function ole(t) {
    var d = new Date(t);
    return 25569 + (d.getTime() - d.getTimezoneOffset() * 60000) / 86400000;
}
function history(h, since) {
    var s = "n=" + h.Count;
    for (var e = new Enumerator(h); !e.atEnd(); e.moveNext()) {
        var v = e.item();
        s += " " + Math.round((ole(v.TimeStamp) - since) * 86400) + "/" + v.DataValue + "/" + v.Quality;
    }
    return s;
}
function histories(values, errors, n, since) {
    var s = "";
    for (var i = 1; i <= n; i++) {
        s += " | " + hex(errors[i]);
        if (values[i]) s += " " + history(values[i], since);
    }
    return s;
}
// One line per call; what follows the result only when the call succeeded.
function call(name, f) {
    var text;
    try { text = f(); } catch (e) { WScript.Echo(name + " " + code(e)); return; }
    WScript.Echo(name + " ok" + text);
}

var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var handles = [], errors = [], values = [], h, ramp, cancel;
var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Step", "Plant/No/Such"];

call("AddItems", function () {
    items.AddItems(3, ids, [, 1, 2, 3], handles, errors);
    return " valid=" + (handles[1] ? 1 : 0) + "," + (handles[2] ? 1 : 0) + "," + (handles[3] ? 1 : 0) +
           " errors=" + codes(errors, 3);
});
h = [, handles[1], handles[2]];
ramp = [, handles[1]];
call("Validate", function () { items.Validate(3, ids, errors); return " errors=" + codes(errors, 3); });
call("SyncReadRaw", function () {
    items.SyncReadRaw(T0, T0 + 60 * second, 0, false, 2, h, values, errors);
    return histories(values, errors, 2, T0);
});
var aggregates = [, 10, 5];   // maximum, count
call("SyncReadProcessed", function () {
    items.SyncReadProcessed(T0, T0 + 1 / 24, 20 / 1440, 2, h, aggregates, values, errors);
    return histories(values, errors, 2, T0);
});
var readTimes = [, T0 + 10 * second, T0 + 60 * second];
call("SyncReadAtTime", function () {
    items.SyncReadAtTime(2, readTimes, 2, h, values, errors);
    return histories(values, errors, 2, T0);
});
var attributes = [, 1, 13, 11];   // data type, item ID, normal maximum
call("SyncReadAttribute", function () {
    items.SyncReadAttribute(T0, T0, handles[1], 3, attributes, values, errors);
    return histories(values, errors, 3, T0);
});
var quality = [, 192];
call("SyncInsert", function () {
    items.SyncInsert(1, ramp, [, T1], [, 7], quality, errors);
    return " errors=" + codes(errors, 1);
});
call("SyncReplace", function () {
    items.SyncReplace(1, ramp, [, T1], [, 8], quality, errors);
    return " errors=" + codes(errors, 1);
});
call("SyncInsertReplace", function () {
    items.SyncInsertReplace(1, ramp, [, T1 + 10 * second], [, 9], quality, errors);
    return " errors=" + codes(errors, 1);
});
call("SyncReadModified", function () {
    items.SyncReadModified(T1 - 60 * second, T1 + 60 * second, 0, 1, ramp, values, errors);
    return histories(values, errors, 1, T1);
});
var notes = [, "checked"];
call("SyncInsertAnnotations", function () {
    items.SyncInsertAnnotations(1, ramp, [, T1], notes, errors);
    return " errors=" + codes(errors, 1);
});
call("SyncReadAnnotations", function () {
    items.SyncReadAnnotations(T1 - 60 * second, T1 + 60 * second, 1, ramp, values, errors);
    return histories(values, errors, 1, T1);
});
call("SyncDeleteAtTime", function () {
    items.SyncDeleteAtTime(1, ramp, [, T1 + 10 * second], errors);
    return " errors=" + codes(errors, 1);
});
call("SyncDeleteRaw", function () {
    items.SyncDeleteRaw(T1 - 5 * second, T1 + 5 * second, 1, ramp, errors);
    return " errors=" + codes(errors, 1);
});

// The asynchronous members: their results arrive as events, which Wine's
// cscript cannot receive; what the call itself answers is compared.
function asyncCall(name, n, f) { call(name, function () { cancel = f(); return " errors=" + codes(errors, n); }); }
var end = T0 + 60 * second;
asyncCall("AsyncReadRaw", 2, function () { return items.AsyncReadRaw(1, T0, end, 0, false, 2, h, errors); });
asyncCall("AsyncReadProcessed", 2, function () {
    return items.AsyncReadProcessed(2, T0, end, 20 / 1440, 2, h, aggregates, errors);
});
asyncCall("AsyncReadAtTime", 2, function () { return items.AsyncReadAtTime(3, 2, readTimes, 2, h, errors); });
asyncCall("AsyncReadModified", 2, function () { return items.AsyncReadModified(4, T0, end, 0, 2, h, errors); });
asyncCall("AsyncReadAttribute", 3, function () {
    return items.AsyncReadAttribute(5, T0, end, handles[1], 3, attributes, errors);
});
asyncCall("AsyncReadAnnotations", 2, function () { return items.AsyncReadAnnotations(6, T0, end, 2, h, errors); });
asyncCall("AsyncInsert", 1, function () { return items.AsyncInsert(7, 1, ramp, [, T1], [, 7], quality, errors); });
asyncCall("AsyncReplace", 1, function () { return items.AsyncReplace(8, 1, ramp, [, T1], [, 7], quality, errors); });
asyncCall("AsyncInsertReplace", 1, function () {
    return items.AsyncInsertReplace(9, 1, ramp, [, T1], [, 7], quality, errors);
});
asyncCall("AsyncInsertAnnotations", 1, function () {
    return items.AsyncInsertAnnotations(10, 1, ramp, [, T1], notes, errors);
});
asyncCall("AsyncDeleteAtTime", 1, function () { return items.AsyncDeleteAtTime(11, 1, ramp, [, T1], errors); });
asyncCall("AsyncDeleteRaw", 1, function () {
    return items.AsyncDeleteRaw(12, T1 - 5 * second, T1 + 5 * second, 1, ramp, errors);
});
function cancelled(f) { try { f(); } catch (e) {} }
asyncCall("AsyncAdviseRaw", 2, function () { return items.AsyncAdviseRaw(13, "NOW-10M", 1 / 1440, 2, h, errors); });
cancelled(function () { items.AsyncCancelRead(cancel); });
asyncCall("AsyncAdviseProcessed", 2, function () {
    return items.AsyncAdviseProcessed(14, "NOW-10M", 1 / 1440, 2, 2, h, aggregates, errors);
});
cancelled(function () { items.AsyncCancelRead(cancel); });
asyncCall("AsyncPlaybackRaw", 2, function () {
    return items.AsyncPlaybackRaw(15, T0, end, 0, 10 * second, second, 2, h, errors);
});
cancelled(function () { items.AsyncCancelPlayback(cancel); });
asyncCall("AsyncPlaybackProcessed", 2, function () {
    return items.AsyncPlaybackProcessed(16, T0, T0 + 1 / 24, 20 / 1440, 1, second, 2, h, aggregates, errors);
});
cancelled(function () { items.AsyncCancelPlayback(cancel); });

// Browse criteria: calibration items whose data type is VT_R8 (5).
call("CreateBrowser", function () {
    var criteriaErrors = [];
    var browser = server.CreateBrowser(2, [, 13, 1], [, 1, 1], [, "Plant/Lab/Calibration/*", 5], criteriaErrors);
    return " position=" + browser.CurrentPosition;
});

call("Remove", function () {
    items.Remove(1, [, handles[2]], errors);
    return " errors=" + codes(errors, 1) + " count=" + items.Count;
});
server.Disconnect();
WScript.Echo("DONE");
