// Reads the raw values of two items over the last minute in one call. JScript
// passes the time arguments by value, so the times the historian used do not
// come back (VBScript variables receive them).
//   wine cscript //nologo read_raw.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Text"];
var serverHandles = [], errors = [], values = [];
items.AddItems(2, ids, [, 1, 2], serverHandles, errors);

var end = new Date();
var start = new Date(end.getTime() - 60 * 1000);
items.SyncReadRaw(start, end, 0, false, 2, serverHandles, values, errors);
for (var i = 1; i <= 2; i++) {
    WScript.Echo(ids[i] + ": " + values[i].Count + " values, code 0x" + (errors[i] >>> 0).toString(16));
    for (var e = new Enumerator(values[i]); !e.atEnd(); e.moveNext()) {
        var value = e.item();
        WScript.Echo("  " + new Date(value.TimeStamp) + "  " + value.DataValue + "  quality " + value.Quality.toString(16));
    }
}

server.Disconnect();
WScript.Echo("DONE");
