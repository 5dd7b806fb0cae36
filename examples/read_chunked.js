// Reads the last hour of a ten-second signal in chunks of at most 100 values,
// as a collector does: while the historian answers OPCHDAMoreData, the next
// read starts at the time of the last value received (which comes again and
// is skipped).
//   wine cscript //nologo read_chunked.js
var OPCHDAMoreData = 0x40041003;
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var handles = [, items.AddItem("Plant/Lab/Calibration/Ramp", 1).ServerHandle];
var values = [], errors = [];

var end = new Date();
end.setMinutes(0, 0, 0);   // the last whole hour
var start = new Date(end.getTime() - 3600000), last = null, total = 0, chunks = 0;
do {
    items.SyncReadRaw(start, end, 100, false, 1, handles, values, errors);
    var fresh = 0;
    for (var e = new Enumerator(values[1]); !e.atEnd(); e.moveNext()) {
        var stamp = new Date(e.item().TimeStamp).getTime();
        if (last === null || stamp > last) fresh++;
    }
    if (values[1].Count > 0) last = new Date(values[1].Item(values[1].Count).TimeStamp).getTime();
    total += fresh;
    chunks++;
    WScript.Echo("Chunk " + chunks + ": " + values[1].Count + " values, " + fresh + " new, code 0x" + errors[1].toString(16));
    start = new Date(last);
} while (errors[1] == OPCHDAMoreData);
WScript.Echo("Values in the hour: " + total + " in " + chunks + " chunks");

server.Disconnect();
WScript.Echo("DONE");
