' Creates the automation server and prints what it knows before any connection.
Option Explicit
Dim server
Set server = CreateObject("OPCHDA.Automation")
WScript.Echo "ServerName: [" & server.ServerName & "]"
WScript.Echo "ClientName: [" & server.ClientName & "]"
WScript.Echo "Items: " & server.OPCHDAItems.Count
Set server = Nothing
WScript.Echo "DONE"
