// The single-item shortcuts of an OPCHDAItem: raw, processed and at-time
// reads, an update and a delete, without handle arrays.
//   wine cscript //nologo item_shortcuts.js
var OPCHDAMaximum = 10, OPCHDAInsert = 1;
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Ramp", 1);

WScript.Echo("ReadRaw: " + item.ReadRaw("NOW-1M", "NOW").Count + " values in the last minute");
WScript.Echo("ReadProcessed: " + item.ReadProcessed("HOUR-2H", "HOUR", 1 / 24, OPCHDAMaximum).Count + " hourly maxima");

var stamp = Math.floor((new Date().getTime() - 3600000) / 10000) * 10000;   // a ten-second sample time
var history = item.ReadAtTime(2, [, new Date(stamp), new Date(stamp + 5000)]);
for (var e = new Enumerator(history); !e.atEnd(); e.moveNext())
    WScript.Echo("ReadAtTime: " + new Date(e.item().TimeStamp) + "  " + e.item().DataValue);

item.Update(new Date(stamp + 5000), 42, 192, OPCHDAInsert);
WScript.Echo("After Update: " + item.ReadRaw(new Date(stamp), new Date(stamp + 10000)).Count + " values in ten seconds");
item.DeleteRaw(new Date(stamp), new Date(stamp + 10000));
WScript.Echo("After DeleteRaw: " + item.ReadRaw(new Date(stamp), new Date(stamp + 10000)).Count + " values in ten seconds");

server.Disconnect();
WScript.Echo("DONE");
