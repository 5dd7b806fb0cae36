// Inserts values between the samples of two items an hour ago, then reads
// them back. Inserting where a value exists already is refused per value.
//   wine cscript //nologo insert.js
var GoodQuality = 192;
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var serverHandles = [], errors = [], values = [];
items.AddItems(2, [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Counter"], [, 1, 2], serverHandles, errors);

var stamp = Math.floor((new Date().getTime() - 3600000) / 10000) * 10000;   // a ten-second sample time
var between = new Date(stamp + 5000);
var times = [, between, between, new Date(stamp)];   // the last one: a sample is there
items.SyncInsert(3, [, serverHandles[1], serverHandles[2], serverHandles[1]], times, [, 42.5, 7, 1],
                 [, GoodQuality, GoodQuality, GoodQuality], errors);
for (var i = 1; i <= 3; i++)
    WScript.Echo("Insert at " + times[i] + ": code 0x" + (errors[i] >>> 0).toString(16).toUpperCase());

items.SyncReadRaw(new Date(stamp), new Date(stamp + 10000), 0, false, 1, serverHandles, values, errors);
for (var e = new Enumerator(values[1]); !e.atEnd(); e.moveNext())
    WScript.Echo("  " + new Date(e.item().TimeStamp) + "  " + e.item().DataValue);

server.Disconnect();
WScript.Echo("DONE");
