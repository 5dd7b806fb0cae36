// What only a JScript caller hands over (the script examples call the rest, in
// both languages): dates as numbers, JScript arrays in (element 0 left out: the
// members read elements 1 to the count) and out, an object whose length lies, a
// sparse array, a call that fails after one that filled the same output array.
// Prints exactly inputs.expected.
var second = 1 / 86400;
var T0 = 45810 + 10 / 24;              // a fixed hour of the simulator's calibration history
var T1 = 45000 + 3 / 24 + 5 / 86400;   // between two samples: a value is inserted there

function hex(n) { return (n >>> 0).toString(16).toUpperCase(); }
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
// One line per call; what `shown` gives follows the result only when the call succeeded.
function call(name, f, shown) {
    try { f(); } catch (e) { WScript.Echo(name + " " + hex(e.number)); return; }
    WScript.Echo(name + " ok" + (shown ? shown() : ""));
}
function codesOf(n) { return function () { return " errors=" + codes(errors, n); }; }
function historiesOf(n, since) {
    return function () {
        var s = "";
        for (var i = 1; i <= n; i++) s += " | " + hex(errors[i]) + (values[i] ? " " + history(values[i], since) : "");
        return s;
    };
}

var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var handles = [], errors = [], values = [], h, ramp, cancel;
var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Step", "Plant/No/Such"];
call("AddItems", function () { items.AddItems(3, ids, [, 1, 2, 3], handles, errors); }, function () {
    return " valid=" + (handles[1] ? 1 : 0) + "," + (handles[2] ? 1 : 0) + "," + (handles[3] ? 1 : 0) +
           " errors=" + codes(errors, 3);
});
h = [, handles[1], handles[2]];
ramp = [, handles[1]];

var readTimes = [, T0 + 10 * second, T0 + 60 * second], quality = [, 192];
var end = T0 + 60 * second;
call("SyncReadRaw", function () { items.SyncReadRaw(T0, end, 0, false, 2, h, values, errors); }, historiesOf(2, T0));
call("SyncReadAtTime", function () { items.SyncReadAtTime(2, readTimes, 2, h, values, errors); }, historiesOf(2, T0));
call("SyncInsert", function () { items.SyncInsert(1, ramp, [, T1], [, 7], quality, errors); }, codesOf(1));

// An asynchronous member: its results arrive as events, which Wine's cscript
// cannot receive; what the call itself answers is compared, and the advise cancelled.
call("AsyncAdviseRaw", function () { cancel = items.AsyncAdviseRaw(2, "NOW-10M", second, 2, h, errors); }, codesOf(2));
try { items.AsyncCancelRead(cancel); } catch (e) {}

// Browse criteria: calibration items whose data type is VT_R8 (5).
var browser;
call("CreateBrowser", function () {
    browser = server.CreateBrowser(2, [, 13, 1], [, 1, 1], [, "Plant/Lab/Calibration/*", 5], []);
}, function () { return " position=" + browser.CurrentPosition; });

// A length no script array has: only element 1 is looked at (it once took
// the host down after half a minute).
var rampID = ids[1];
errors = [];
call("lying length", function () { items.Validate(1, {length: 178956971, 1: rampID}, errors); });
WScript.Echo("  errors " + errors.length + " " + hex(errors[1]));
// Elements 1 and 10000 of 10000, holes between (empty IDs).
var sparse = [];
sparse[1] = rampID;
sparse[10000] = rampID;
call("sparse", function () { items.Validate(10000, sparse, errors); });
WScript.Echo("  errors " + errors.length + " " + hex(errors[1]) + " " + hex(errors[2]) + " " + hex(errors[10000]));
// Too short for its count: refused, and the results of the call before are gone.
call("short", function () { items.Validate(3, [, rampID], errors); });
WScript.Echo("  errors " + errors.length);
server.Disconnect();
WScript.Echo("DONE");
