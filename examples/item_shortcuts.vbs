' The single-item shortcuts of an OPCHDAItem: raw, processed and at-time
' reads, an update and a delete, without handle arrays.
'   wine cscript //nologo item_shortcuts.vbs
Option Explicit

Const OPCHDAMaximum = 10
Const OPCHDAInsert = 1
Dim server, item, history, value, startTime, endTime, times(2), stamp

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Ramp", 1)

startTime = "NOW-1M" : endTime = "NOW"
Set history = item.ReadRaw(startTime, endTime)
WScript.Echo "ReadRaw: " & history.Count & " values from " & startTime & " to " & endTime

startTime = "HOUR-2H" : endTime = "HOUR"
Set history = item.ReadProcessed(startTime, endTime, 1 / 24, OPCHDAMaximum)
WScript.Echo "ReadProcessed: " & history.Count & " hourly maxima"

stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a ten-second sample time
times(1) = stamp : times(2) = stamp + 5 / 86400
Set history = item.ReadAtTime(2, times)
For Each value In history
    WScript.Echo "ReadAtTime: " & value.TimeStamp & "  " & value.DataValue
Next

item.Update stamp + 5 / 86400, 42, 192, OPCHDAInsert
startTime = stamp : endTime = stamp + 10 / 86400
WScript.Echo "After Update: " & item.ReadRaw(startTime, endTime).Count & " values in ten seconds"
startTime = stamp : endTime = stamp + 10 / 86400
item.DeleteRaw startTime, endTime
startTime = stamp : endTime = stamp + 10 / 86400
WScript.Echo "After DeleteRaw: " & item.ReadRaw(startTime, endTime).Count & " values in ten seconds"

server.Disconnect
WScript.Echo "DONE"
