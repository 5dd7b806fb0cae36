' Reads the last hour of a ten-second signal in chunks of at most 100 values,
' as a collector does: while the historian answers OPCHDAMoreData, the next
' read starts at the time of the last value received (which comes again and
' is skipped).
'   wine cscript //nologo read_chunked.vbs
Option Explicit

Const OPCHDAMoreData = &H40041003
Dim server, items, item, handles(1), values, errors, startTime, endTime, finalEnd, last, total, chunks, fresh, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
Set item = items.AddItem("Plant/Lab/Calibration/Ramp", 1)
handles(1) = item.ServerHandle

finalEnd = CDate(Int(CDbl(Now) * 24) / 24)   ' the last whole hour
startTime = finalEnd - 1 / 24
last = Empty
Do
    endTime = finalEnd
    items.SyncReadRaw startTime, endTime, 100, False, 1, handles, values, errors
    chunks = chunks + 1
    fresh = 0
    For Each value In values(1)
        If IsEmpty(last) Then
            fresh = fresh + 1
        ElseIf value.TimeStamp > last Then
            fresh = fresh + 1
        End If
    Next
    If values(1).Count > 0 Then last = values(1).Item(values(1).Count).TimeStamp
    total = total + fresh
    WScript.Echo "Chunk " & chunks & ": " & values(1).Count & " values, " & fresh & " new, code 0x" & Hex(errors(1))
    startTime = last
Loop While errors(1) = OPCHDAMoreData
WScript.Echo "Values in the hour: " & total & " in " & chunks & " chunks"

server.Disconnect
WScript.Echo "DONE"
