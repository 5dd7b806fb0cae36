' Reads history from the historian simulator: the last hour of one item, raw,
' then hourly averages over the last six hours.
'   wine cscript //nologo read_history.vbs
Option Explicit

Const OPCHDAAverage = 3

Dim server, item, history, value, startTime, endTime

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"   ' or "Sim.HdaHistorian.Local", the same historian as a local server
Set item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Ramp", 1)
WScript.Echo "Item: " & item.ItemID & " (server handle " & item.ServerHandle & ")"

' Relative times go in as texts and come back as the dates the historian used.
startTime = "NOW-1H"
endTime = "NOW"
Set history = item.ReadRaw(startTime, endTime)
WScript.Echo "Raw values from " & startTime & " to " & endTime
For Each value In history
    WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue & "  quality " & value.Quality
Next
WScript.Echo "Values in the last hour: " & history.Count

startTime = "HOUR-6H"
endTime = "HOUR"
Set history = item.ReadProcessed(startTime, endTime, 1 / 24, OPCHDAAverage)
WScript.Echo "Hourly averages: " & history.Count
For Each value In history
    WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue & "  quality " & value.Quality
Next

server.Disconnect
WScript.Echo "DONE"
