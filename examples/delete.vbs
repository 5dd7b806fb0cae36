' Deletes values an hour ago: two given samples by their times, then every
' value in a minute; a raw read shows what is left.
'   wine cscript //nologo delete.vbs
Option Explicit

Dim server, items, item, handles(2), times(2), errors, values, stamp, startTime, endTime

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
Set item = items.AddItem("Plant/Lab/Calibration/Ramp", 1)
stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a ten-second sample time

Function CountValues()
    Dim fromTime, toTime
    fromTime = stamp : toTime = stamp + 120 / 86400
    items.SyncReadRaw fromTime, toTime, 0, False, 1, handles, values, errors
    CountValues = values(1).Count
End Function

handles(1) = item.ServerHandle : times(1) = stamp
handles(2) = item.ServerHandle : times(2) = stamp + 10 / 86400
WScript.Echo "Values in two minutes: " & CountValues()
items.SyncDeleteAtTime 2, handles, times, errors
WScript.Echo "Deleted two samples: codes 0x" & Hex(errors(1)) & ", 0x" & Hex(errors(2))
WScript.Echo "Values in two minutes: " & CountValues()

startTime = stamp + 60 / 86400 : endTime = stamp + 120 / 86400
items.SyncDeleteRaw startTime, endTime, 1, handles, errors
WScript.Echo "Deleted the second minute: code 0x" & Hex(errors(1))
WScript.Echo "Values in two minutes: " & CountValues()

server.Disconnect
WScript.Echo "DONE"
