// Writes two values in one call, whether or not a value is there: the
// historian says per value whether it inserted (0x4004100E) or replaced
// (0x4004100F).
//   wine cscript //nologo insert_replace.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var handle = items.AddItem("Plant/Lab/Calibration/Ramp", 1).ServerHandle;
var errors = [];

var stamp = Math.floor((new Date().getTime() - 3600000) / 10000) * 10000;   // a ten-second sample time
var times = [, new Date(stamp), new Date(stamp + 5000)];
items.SyncInsertReplace(2, [, handle, handle], times, [, 100, 101], [, 192, 192], errors);
for (var i = 1; i <= 2; i++)
    WScript.Echo("Write at " + times[i] + ": code 0x" + (errors[i] >>> 0).toString(16).toUpperCase());

server.Disconnect();
WScript.Echo("DONE");
