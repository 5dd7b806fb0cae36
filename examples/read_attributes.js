// Reads attributes of one item (data type, description, engineering units,
// normal maximum) in one call: one history per attribute.
//   wine cscript //nologo read_attributes.js
var names = [, "Data type", "Description", "Engineering units", "Normal maximum"];
var ids = [, 1, 2, 3, 11];   // OPCHDADataType, OPCHDADescription, OPCHDAEngUnits, OPCHDANormalMaximum
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Sine", 1);

var values = [], errors = [];
server.OPCHDAItems.SyncReadAttribute("NOW", "NOW", item.ServerHandle, 4, ids, values, errors);
for (var i = 1; i <= 4; i++)
    for (var e = new Enumerator(values[i]); !e.atEnd(); e.moveNext())
        WScript.Echo(names[i] + ": " + e.item().DataValue + " (code 0x" + (errors[i] >>> 0).toString(16) + ")");

server.Disconnect();
WScript.Echo("DONE");
