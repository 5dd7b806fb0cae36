' Inserts a value into the simulator's history, reads it back, deletes it
' again, and shows each step.
'   wine cscript //nologo update_history.vbs
Option Explicit

Const OPCHDAInsert = 1
Const OPCHDADelete = 4
Const GoodQuality = 192

Dim server, item, stamp, found

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"   ' or "Sim.HdaHistorian.Local", the same historian as a local server
Set item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Ramp", 1)

' Half past a ten-second sample an hour ago: no raw value lives there yet.
stamp = CDate((Int(CDbl(Now - 1 / 24) * 8640) + 0.5) / 8640)

' Returns the value stored at exactly `at`, or Empty.
Function ValueAt(at)
    Dim fromTime, toTime, history, value
    fromTime = at - 30 / 86400
    toTime = at + 30 / 86400
    Set history = item.ReadRaw(fromTime, toTime)
    ValueAt = Empty
    For Each value In history
        If Abs(CDbl(value.TimeStamp) - CDbl(at)) < 0.5 / 86400 Then ValueAt = value.DataValue
    Next
End Function

On Error Resume Next
item.Update stamp, 42.5, GoodQuality, OPCHDAInsert
WScript.Echo "Insert at " & stamp & ": error " & Err.Number
Err.Clear
WScript.Echo "Read back: " & ValueAt(stamp)

item.Update stamp, Empty, 0, OPCHDADelete
WScript.Echo "Delete at " & stamp & ": error " & Err.Number
Err.Clear
If IsEmpty(ValueAt(stamp)) Then WScript.Echo "Read back after delete: nothing"

' Inserting a value twice is refused by the historian, per value.
item.Update stamp, 1, GoodQuality, OPCHDAInsert
item.Update stamp, 2, GoodQuality, OPCHDAInsert
WScript.Echo "Second insert at the same time: error 0x" & Hex(Err.Number)
Err.Clear
On Error GoTo 0

server.Disconnect
WScript.Echo "DONE"
