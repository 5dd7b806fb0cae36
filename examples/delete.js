// Deletes values an hour ago: two given samples by their times, then every
// value in a minute; a raw read shows what is left.
//   wine cscript //nologo delete.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var handle = items.AddItem("Plant/Lab/Calibration/Ramp", 1).ServerHandle;
var stamp = Math.floor((new Date().getTime() - 3600000) / 10000) * 10000;   // a ten-second sample time
var errors = [], values = [];

function countValues() {
    items.SyncReadRaw(new Date(stamp), new Date(stamp + 120000), 0, false, 1, [, handle], values, errors);
    return values[1].Count;
}

WScript.Echo("Values in two minutes: " + countValues());
items.SyncDeleteAtTime(2, [, handle, handle], [, new Date(stamp), new Date(stamp + 10000)], errors);
WScript.Echo("Deleted two samples: codes 0x" + (errors[1] >>> 0).toString(16) + ", 0x" + (errors[2] >>> 0).toString(16));
WScript.Echo("Values in two minutes: " + countValues());

items.SyncDeleteRaw(new Date(stamp + 60000), new Date(stamp + 120000), 1, [, handle], errors);
WScript.Echo("Deleted the second minute: code 0x" + (errors[1] >>> 0).toString(16));
WScript.Echo("Values in two minutes: " + countValues());

server.Disconnect();
WScript.Echo("DONE");
