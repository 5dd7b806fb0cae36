' Reads the annotations of two items over the last day. This component cannot
' write annotations (SyncInsertAnnotations checks its arguments, then answers
' E_NOTIMPL): they come from the historian's own tools.
'   wine cscript //nologo read_annotations.vbs
Option Explicit

Dim server, items, ids(2), clientHandles(2), serverHandles, errors, values, times(1), notes(1), one(1)
Dim startTime, endTime, i, note

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
ids(1) = "Plant/Lab/Calibration/Ramp" : clientHandles(1) = 1
ids(2) = "Plant/Lab/Calibration/Step" : clientHandles(2) = 2
items.AddItems 2, ids, clientHandles, serverHandles, errors

On Error Resume Next
one(1) = serverHandles(1) : times(1) = Now - 1 / 24 : notes(1) = "Calibrated"
items.SyncInsertAnnotations 1, one, times, notes, errors
WScript.Echo "Insert annotation: error 0x" & Hex(Err.Number)
Err.Clear
On Error GoTo 0

startTime = "NOW-1D"
endTime = "NOW"
items.SyncReadAnnotations startTime, endTime, 2, serverHandles, values, errors
For i = 1 To 2
    WScript.Echo ids(i) & ": code 0x" & Hex(errors(i))
    If IsObject(values(i)) Then
        WScript.Echo "  annotations: " & values(i).Count
        For Each note In values(i)
            WScript.Echo "  " & note.TimeStamp & "  " & note.DataValue & "  by [" & note.User & "]"
        Next
    End If
Next

server.Disconnect
WScript.Echo "DONE"
