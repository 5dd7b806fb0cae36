' Inserts values between the samples of two items an hour ago, then reads
' them back. Inserting where a value exists already is refused per value.
'   wine cscript //nologo insert.vbs
Option Explicit

Const GoodQuality = 192
Dim server, items, ids(2), clientHandles(2), serverHandles, errors, values, times(3), data(3), qualities(3), handles(3)
Dim stamp, i, startTime, endTime, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
ids(1) = "Plant/Lab/Calibration/Ramp" : clientHandles(1) = 1
ids(2) = "Plant/Lab/Calibration/Counter" : clientHandles(2) = 2
items.AddItems 2, ids, clientHandles, serverHandles, errors

stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a ten-second sample time
handles(1) = serverHandles(1) : times(1) = stamp + 5 / 86400 : data(1) = 42.5 : qualities(1) = GoodQuality
handles(2) = serverHandles(2) : times(2) = stamp + 5 / 86400 : data(2) = 7 : qualities(2) = GoodQuality
handles(3) = serverHandles(1) : times(3) = stamp : data(3) = 1 : qualities(3) = GoodQuality   ' a sample is there
items.SyncInsert 3, handles, times, data, qualities, errors
For i = 1 To 3
    WScript.Echo "Insert at " & times(i) & ": code 0x" & Hex(errors(i))
Next

startTime = stamp : endTime = stamp + 10 / 86400
items.SyncReadRaw startTime, endTime, 0, False, 1, serverHandles, values, errors
For Each value In values(1)
    WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue
Next

server.Disconnect
WScript.Echo "DONE"
