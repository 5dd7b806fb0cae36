// Lists the historians this computer knows, connects to the simulator and
// prints what it reports about itself.
//   wine cscript //nologo server_info.js
var server = new ActiveXObject("OPCHDA.Automation");

// The names come as a typed string array: JScript reads it through VBArray.
// Wine's JScript can neither do that nor take typeof of such an array (it
// answers E_NOTIMPL), so under Wine the names are skipped and the script goes on.
WScript.Echo("Historians on this computer:");
try {
    var names = new VBArray(server.GetOPCHDAServers()).toArray();
    for (var i = 0; i < names.length; i++) WScript.Echo("  " + names[i]);
} catch (failure) {
    WScript.Echo("  (this script host cannot read the list)");
}

server.Connect("Sim.HdaHistorian");   // or "Sim.HdaHistorian.Local", the same historian as a local server
WScript.Echo("Server name: " + server.ServerName);
WScript.Echo("Status: " + server.HistorianStatus + " (" + server.StatusString + ")");
WScript.Echo("Vendor: " + server.VendorInfo);
WScript.Echo("Version: " + server.MajorVersion + "." + server.MinorVersion + "." + server.BuildNumber);
WScript.Echo("Max return values: " + server.MaxReturnValues);
WScript.Echo("Current time: " + new Date(server.CurrentTime));
WScript.Echo("Start time: " + new Date(server.StartTime));
WScript.Echo("Can insert/replace/delete raw: " + server.CanSyncInsert + " " + server.CanSyncReplace + " " +
             server.CanSyncDeleteRaw);
server.Disconnect();
WScript.Echo("DONE");
