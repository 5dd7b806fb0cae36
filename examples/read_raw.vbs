' Reads the raw values of two items over the last minute in one call. The time
' arguments are variables: they come back holding the times the historian used.
'   wine cscript //nologo read_raw.vbs
Option Explicit

Dim server, items, ids(2), clientHandles(2), serverHandles, errors, values, startTime, endTime, i, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
ids(1) = "Plant/Lab/Calibration/Ramp" : clientHandles(1) = 1
ids(2) = "Plant/Lab/Calibration/Text" : clientHandles(2) = 2
items.AddItems 2, ids, clientHandles, serverHandles, errors

startTime = "NOW-1M"
endTime = "NOW"
items.SyncReadRaw startTime, endTime, 0, False, 2, serverHandles, values, errors
WScript.Echo "From " & startTime & " to " & endTime
For i = 1 To 2
    WScript.Echo ids(i) & ": " & values(i).Count & " values, code 0x" & Hex(errors(i))
    For Each value In values(i)
        WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue & "  quality " & Hex(value.Quality)
    Next
Next

server.Disconnect
WScript.Echo "DONE"
