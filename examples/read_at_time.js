// The values of two items at three given times: between samples the historian
// interpolates (or holds a stepped item's value), and says so in the quality.
// JScript dates are passed as they are.
//   wine cscript //nologo read_at_time.js
var OPCHDAQualityInterpolated = 0x20000;
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Step"];
var serverHandles = [], errors = [], values = [];
items.AddItems(2, ids, [, 1, 2], serverHandles, errors);

var hour = new Date();
hour.setHours(hour.getHours() - 1, 0, 0, 0);   // the start of the last whole hour
var times = [, hour, new Date(hour.getTime() + 5000), new Date(hour.getTime() + 95000)];
items.SyncReadAtTime(3, times, 2, serverHandles, values, errors);
for (var i = 1; i <= 2; i++) {
    WScript.Echo(ids[i] + ": code 0x" + (errors[i] >>> 0).toString(16));
    for (var e = new Enumerator(values[i]); !e.atEnd(); e.moveNext()) {
        var value = e.item();
        WScript.Echo("  " + new Date(value.TimeStamp) + "  " + value.DataValue +
                     "  interpolated " + ((value.Quality & OPCHDAQualityInterpolated) != 0));
    }
}

server.Disconnect();
WScript.Echo("DONE");
