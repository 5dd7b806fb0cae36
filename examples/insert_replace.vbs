' Writes two values in one call, whether or not a value is there: the
' historian says per value whether it inserted (0x4004100E) or replaced
' (0x4004100F).
'   wine cscript //nologo insert_replace.vbs
Option Explicit

Dim server, items, item, handles(2), times(2), data(2), qualities(2), errors, stamp, i

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
Set item = items.AddItem("Plant/Lab/Calibration/Ramp", 1)

stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a ten-second sample time
handles(1) = item.ServerHandle : times(1) = stamp : data(1) = 100 : qualities(1) = 192
handles(2) = item.ServerHandle : times(2) = stamp + 5 / 86400 : data(2) = 101 : qualities(2) = 192
items.SyncInsertReplace 2, handles, times, data, qualities, errors
For i = 1 To 2
    WScript.Echo "Write at " & times(i) & ": code 0x" & Hex(errors(i))
Next

server.Disconnect
WScript.Echo "DONE"
