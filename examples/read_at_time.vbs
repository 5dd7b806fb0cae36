' The values of two items at three given times: between samples the historian
' interpolates (or holds a stepped item's value), and says so in the quality.
'   wine cscript //nologo read_at_time.vbs
Option Explicit

Const OPCHDAQualityInterpolated = &H20000
Dim server, items, ids(2), clientHandles(2), serverHandles, errors, values, times(3), i, value, hour

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
ids(1) = "Plant/Lab/Calibration/Ramp" : clientHandles(1) = 1
ids(2) = "Plant/Lab/Calibration/Step" : clientHandles(2) = 2
items.AddItems 2, ids, clientHandles, serverHandles, errors

hour = CDate(Int(CDbl(Now - 1 / 24) * 24) / 24)   ' the start of the last whole hour
times(1) = hour
times(2) = hour + 5 / 86400
times(3) = hour + 95 / 86400
items.SyncReadAtTime 3, times, 2, serverHandles, values, errors
For i = 1 To 2
    WScript.Echo ids(i) & ": code 0x" & Hex(errors(i))
    For Each value In values(i)
        WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue & _
            "  interpolated " & ((value.Quality And OPCHDAQualityInterpolated) <> 0)
    Next
Next

server.Disconnect
WScript.Echo "DONE"
