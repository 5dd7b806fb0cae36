// What only a JScript caller hands over: an object whose length lies, a
// sparse array, a call that fails after one that filled the same output
// array. Prints inputs.expected.
function hex(n) { return (n >>> 0).toString(16).toUpperCase(); }
function call(name, f) {
    try { f(); WScript.Echo(name + " ok"); } catch (e) { WScript.Echo(name + " " + hex(e.number)); }
}
var server = new ActiveXObject("OPCHDA.Automation");
server.Connect("Sim.HdaHistorian");
var items = server.OPCHDAItems;
var ramp = "Plant/Lab/Calibration/Ramp";
var errors = [];
// A length no script array has: only element 1 is looked at (it once took
// the host down after half a minute).
call("lying length", function () { items.Validate(1, {length: 178956971, 1: ramp}, errors); });
WScript.Echo("  errors " + errors.length + " " + hex(errors[1]));
// Elements 1 and 10000 of 10000, holes between (empty IDs).
var sparse = [];
sparse[1] = ramp;
sparse[10000] = ramp;
call("sparse", function () { items.Validate(10000, sparse, errors); });
WScript.Echo("  errors " + errors.length + " " + hex(errors[1]) + " " + hex(errors[2]) + " " + hex(errors[10000]));
// Too short for its count: refused, and the results of the call before are gone.
call("short", function () { items.Validate(3, [, ramp], errors); });
WScript.Echo("  errors " + errors.length);
server.Disconnect();
WScript.Echo("DONE");
