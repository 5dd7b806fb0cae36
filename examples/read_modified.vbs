' Edits a value an hour ago, then reads the historian's log of modifications
' around it: each entry carries the value it replaced, when and by whom it was
' changed. The simulator in this process forgets the edit when the script ends.
'   wine cscript //nologo read_modified.vbs
Option Explicit

Dim server, items, item, handles(1), times(1), data(1), qualities(1), errors, values, startTime, endTime, entry, stamp

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
Set item = items.AddItem("Plant/Lab/Calibration/Ramp", 1)
handles(1) = item.ServerHandle

stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a sample of the ten-second ramp
times(1) = stamp : data(1) = -1 : qualities(1) = 192
items.SyncReplace 1, handles, times, data, qualities, errors
WScript.Echo "Replaced the value at " & stamp & ": code 0x" & Hex(errors(1))

startTime = stamp - 60 / 86400
endTime = stamp + 60 / 86400
items.SyncReadModified startTime, endTime, 0, 1, handles, values, errors
WScript.Echo "Modifications: " & values(1).Count & " (code 0x" & Hex(errors(1)) & ")"
For Each entry In values(1)
    WScript.Echo "  " & entry.TimeStamp & "  old value " & entry.DataValue & "  edit type " & entry.EntryType & _
        "  by [" & entry.User & "] at " & entry.EntryTime
Next

server.Disconnect
WScript.Echo "DONE"
