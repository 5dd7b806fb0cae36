// Adds items in one call, checks item IDs without adding them, and removes an
// item again. Arrays of items start at element 1: element 0 is left out (it is
// not read). Outputs arrive in JScript arrays passed in their place.
//   wine cscript //nologo add_items.js
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;

var ids = [, "Plant/Lab/Calibration/Ramp", "Plant/Lab/Calibration/Step", "Plant/No/Such/Signal"];
var serverHandles = [], errors = [];
items.AddItems(3, ids, [, 1, 2, 3], serverHandles, errors);
for (var i = 1; i <= 3; i++)
    WScript.Echo(ids[i] + ": server handle " + serverHandles[i] + ", code 0x" + (errors[i] >>> 0).toString(16).toUpperCase());
WScript.Echo("Items added: " + items.Count);

items.Validate(3, ids, errors);
WScript.Echo("Valid: " + (errors[1] == 0) + " " + (errors[2] == 0) + " " + (errors[3] == 0));

items.Remove(1, [, serverHandles[2]], errors);
WScript.Echo("Removed Step: code 0x" + (errors[1] >>> 0).toString(16).toUpperCase() + ", items left: " + items.Count);

server.Disconnect();
WScript.Echo("DONE");
