// Replaces a recorded value an hour ago and reads it back. Replacing where no
// value exists is refused per value (OPCHDANoDataExists, 0xC004100D).
//   wine cscript //nologo replace.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var item = items.AddItem("Plant/Lab/Calibration/Ramp", 1);
var handle = item.ServerHandle, errors = [], values = [];

var stamp = Math.floor((new Date().getTime() - 3600000) / 10000) * 10000;   // a ten-second sample time
var times = [, new Date(stamp), new Date(stamp + 5000)];
items.SyncReplace(2, [, handle, handle], times, [, -5, -6], [, 192, 192], errors);
for (var i = 1; i <= 2; i++)
    WScript.Echo("Replace at " + times[i] + ": code 0x" + (errors[i] >>> 0).toString(16).toUpperCase());

items.SyncReadRaw(new Date(stamp), new Date(stamp + 10000), 0, false, 1, [, handle], values, errors);
for (var e = new Enumerator(values[1]); !e.atEnd(); e.moveNext())
    WScript.Echo("  " + new Date(e.item().TimeStamp) + "  " + e.item().DataValue);

server.Disconnect();
WScript.Echo("DONE");
