// Hourly averages and maxima of two items over the last six whole hours, in one
// call: one aggregate per item.
//   wine cscript //nologo read_processed.js
var OPCHDAAverage = 3, OPCHDAMaximum = 10;
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var ids = [, "Plant/Lab/Calibration/Sine", "Plant/Lab/Calibration/Ramp"];
var aggregates = [, OPCHDAAverage, OPCHDAMaximum];
var serverHandles = [], errors = [], values = [];
items.AddItems(2, ids, [, 1, 2], serverHandles, errors);

items.SyncReadProcessed("HOUR-6H", "HOUR", 1 / 24, 2, serverHandles, aggregates, values, errors);
for (var i = 1; i <= 2; i++) {
    WScript.Echo(ids[i] + " (aggregate " + aggregates[i] + "): " + values[i].Count + " intervals, code 0x" +
                 (errors[i] >>> 0).toString(16));
    for (var e = new Enumerator(values[i]); !e.atEnd(); e.moveNext())
        WScript.Echo("  " + new Date(e.item().TimeStamp) + "  " + Math.round(e.item().DataValue * 1000) / 1000);
}

server.Disconnect();
WScript.Echo("DONE");
