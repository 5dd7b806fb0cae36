' Hourly averages and maxima of two items over the last six whole hours, in one
' call: one aggregate per item.
'   wine cscript //nologo read_processed.vbs
Option Explicit

Const OPCHDAAverage = 3
Const OPCHDAMaximum = 10
Dim server, items, ids(2), clientHandles(2), aggregates(2), serverHandles, errors, values, startTime, endTime, i, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
ids(1) = "Plant/Lab/Calibration/Sine" : clientHandles(1) = 1 : aggregates(1) = OPCHDAAverage
ids(2) = "Plant/Lab/Calibration/Ramp" : clientHandles(2) = 2 : aggregates(2) = OPCHDAMaximum
items.AddItems 2, ids, clientHandles, serverHandles, errors

startTime = "HOUR-6H"
endTime = "HOUR"
items.SyncReadProcessed startTime, endTime, 1 / 24, 2, serverHandles, aggregates, values, errors
For i = 1 To 2
    WScript.Echo ids(i) & " (aggregate " & aggregates(i) & "): " & values(i).Count & " intervals, code 0x" & Hex(errors(i))
    For Each value In values(i)
        WScript.Echo "  " & value.TimeStamp & "  " & Round(value.DataValue, 3)
    Next
Next

server.Disconnect
WScript.Echo "DONE"
