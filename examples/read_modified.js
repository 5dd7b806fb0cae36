// Edits a value an hour ago, then reads the historian's log of modifications
// around it: each entry carries the value it replaced, when and by whom it was
// changed. The simulator in this process forgets the edit when the script ends.
//   wine cscript //nologo read_modified.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var item = items.AddItem("Plant/Lab/Calibration/Ramp", 1);
var handles = [, item.ServerHandle], errors = [], values = [];

var stamp = new Date(Math.floor((new Date().getTime() - 3600000) / 10000) * 10000);  // a sample of the ten-second ramp
items.SyncReplace(1, handles, [, stamp], [, -1], [, 192], errors);
WScript.Echo("Replaced the value at " + stamp + ": code 0x" + (errors[1] >>> 0).toString(16));

var from = new Date(stamp.getTime() - 60000), to = new Date(stamp.getTime() + 60000);
items.SyncReadModified(from, to, 0, 1, handles, values, errors);
WScript.Echo("Modifications: " + values[1].Count + " (code 0x" + (errors[1] >>> 0).toString(16) + ")");
for (var e = new Enumerator(values[1]); !e.atEnd(); e.moveNext()) {
    var entry = e.item();
    WScript.Echo("  " + new Date(entry.TimeStamp) + "  old value " + entry.DataValue + "  edit type " + entry.EntryType +
                 "  by [" + entry.User + "] at " + new Date(entry.EntryTime));
}

server.Disconnect();
WScript.Echo("DONE");
