' Adds items in one call, checks item IDs without adding them, and removes an
' item again. Arrays of items start at element 1 (element 0 is not read).
'   wine cscript //nologo add_items.vbs
Option Explicit

Dim server, items, ids(3), clientHandles(3), serverHandles, errors, i, one(1)

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems

ids(1) = "Plant/Lab/Calibration/Ramp" : clientHandles(1) = 1
ids(2) = "Plant/Lab/Calibration/Step" : clientHandles(2) = 2
ids(3) = "Plant/No/Such/Signal"       : clientHandles(3) = 3
items.AddItems 3, ids, clientHandles, serverHandles, errors
For i = 1 To 3
    WScript.Echo ids(i) & ": server handle " & serverHandles(i) & ", code 0x" & Hex(errors(i))
Next
WScript.Echo "Items added: " & items.Count

items.Validate 3, ids, errors
WScript.Echo "Valid: " & (errors(1) = 0) & " " & (errors(2) = 0) & " " & (errors(3) = 0)

one(1) = serverHandles(2)
items.Remove 1, one, errors
WScript.Echo "Removed Step: code 0x" & Hex(errors(1)) & ", items left: " & items.Count

server.Disconnect
WScript.Echo "DONE"
