' Reads attributes of one item (data type, description, engineering units,
' normal maximum) in one call: one history per attribute.
'   wine cscript //nologo read_attributes.vbs
Option Explicit

Dim server, item, ids(4), names, values, errors, startTime, endTime, i, value
names = Array("", "Data type", "Description", "Engineering units", "Normal maximum")
ids(1) = 1 : ids(2) = 2 : ids(3) = 3 : ids(4) = 11   ' OPCHDADataType, OPCHDADescription, OPCHDAEngUnits, OPCHDANormalMaximum

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Sine", 1)

startTime = "NOW"
endTime = "NOW"
server.OPCHDAItems.SyncReadAttribute startTime, endTime, item.ServerHandle, 4, ids, values, errors
For i = 1 To 4
    For Each value In values(i)
        WScript.Echo names(i) & ": " & value.DataValue & " (code 0x" & Hex(errors(i)) & ")"
    Next
Next

server.Disconnect
WScript.Echo "DONE"
