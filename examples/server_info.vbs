' Lists the historians this computer knows, connects to the simulator and
' prints what it reports about itself. Ends with DONE.
Option Explicit

Dim server, names, name
Set server = CreateObject("OPCHDA.Automation")

names = server.GetOPCHDAServers()
WScript.Echo "Historians on this computer:"
' Some script hosts (Wine's) cannot walk a typed string array: the names are
' then skipped and the script goes on.
On Error Resume Next
For Each name In names
    If Len(name) > 0 Then WScript.Echo "  " & name
Next
On Error GoTo 0

server.Connect "Sim.HdaHistorian"   ' or "Sim.HdaHistorian.Local", the same historian as a local server
WScript.Echo "Server name: " & server.ServerName
WScript.Echo "Status: " & server.HistorianStatus & " (" & server.StatusString & ")"
WScript.Echo "Vendor: " & server.VendorInfo
WScript.Echo "Version: " & server.MajorVersion & "." & server.MinorVersion & "." & server.BuildNumber
WScript.Echo "Max return values: " & server.MaxReturnValues
WScript.Echo "Current time: " & server.CurrentTime
WScript.Echo "Start time: " & server.StartTime
WScript.Echo "Sync insert/replace/insert-replace/delete raw/delete at time: " & _
    server.CanSyncInsert & server.CanSyncReplace & server.CanSyncInsertReplace & _
    server.CanSyncDeleteRaw & server.CanSyncDeleteAtTime
WScript.Echo "Sync read/insert annotations: " & server.CanSyncReadAnnotations & server.CanSyncInsertAnnotations
WScript.Echo "Async insert/replace/insert-replace/delete raw/delete at time: " & _
    server.CanAsyncInsert & server.CanAsyncReplace & server.CanAsyncInsertReplace & _
    server.CanAsyncDeleteRaw & server.CanAsyncDeleteAtTime
WScript.Echo "Async read/insert annotations: " & server.CanAsyncReadAnnotations & server.CanAsyncInsertAnnotations
server.Disconnect
Set server = Nothing
WScript.Echo "DONE"
