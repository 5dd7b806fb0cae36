' The client of the package round trips: creates OPCHDA.Automation and, given a historian's ProgID,
' connects to it and reads the last hour of one item. Prints the script host's bitness, the count
' read and DONE last (Wine's cscript stops silently at a script error).
'   cscript //nologo read_through.vbs [historian ProgID]
Option Explicit
Dim server, item, history, startTime, endTime, bits
bits = 32
If CreateObject("WScript.Shell").Environment("Process")("PROCESSOR_ARCHITECTURE") = "AMD64" Then bits = 64
Set server = CreateObject("OPCHDA.Automation")
WScript.Echo bits & "-bit client created OPCHDA.Automation"
If WScript.Arguments.Count > 0 Then
    server.Connect WScript.Arguments(0)
    Set item = server.OPCHDAItems.AddItem("Plant/Lab/Calibration/Ramp", 1)
    startTime = "NOW-1H"
    endTime = "NOW"
    Set history = item.ReadRaw(startTime, endTime)
    WScript.Echo "values read: " & history.Count
    server.Disconnect
End If
WScript.Echo "DONE"
