// Reads the annotations of two items over the last day. This component cannot
// write annotations (SyncInsertAnnotations checks its arguments, then answers
// E_NOTIMPL): they come from the historian's own tools.
//   wine cscript //nologo read_annotations.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Step"];
var serverHandles = [], errors = [], values = [];
items.AddItems(2, ids, [, 1, 2], serverHandles, errors);

try {
    items.SyncInsertAnnotations(1, [, serverHandles[1]], [, new Date()], [, "Calibrated"], errors);
} catch (failure) {
    WScript.Echo("Insert annotation: error 0x" + (failure.number >>> 0).toString(16).toUpperCase());
}

items.SyncReadAnnotations("NOW-1D", "NOW", 2, serverHandles, values, errors);
for (var i = 1; i <= 2; i++) {
    WScript.Echo(ids[i] + ": code 0x" + (errors[i] >>> 0).toString(16));
    if (!values[i]) continue;
    WScript.Echo("  annotations: " + values[i].Count);
    for (var e = new Enumerator(values[i]); !e.atEnd(); e.moveNext())
        WScript.Echo("  " + new Date(e.item().TimeStamp) + "  " + e.item().DataValue + "  by [" + e.item().User + "]");
}

server.Disconnect();
WScript.Echo("DONE");
