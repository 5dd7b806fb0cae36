' Browses the historian simulator: lists its attributes and aggregates,
' creates a browser for the temperature signals, moves through the plant,
' resolves a leaf to its item ID and reads the item's latest value.
'   wine cscript //nologo browse_plant.vbs
'
' The catalogues arrive in script variables as Variant arrays, which every
' script host reads. The listings come back as VT_ARRAY|VT_BSTR: Windows'
' VBScript reads those, Wine's cannot index or walk them; that part runs under
' On Error Resume Next, says what it could not do, and the script goes on.
Option Explicit

Const OPCHDAItemID = 13
Const OPCHDAEqual = 1

Dim server, browser, errors, names, i, count, ids, descriptions, types, itemID, item, history, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"   ' or "Sim.HdaHistorian.Local"

On Error Resume Next
server.GetItemAttributes count, ids, names, descriptions, types
If Err.Number = 0 Then
    WScript.Echo "Attributes: " & count
    For i = 1 To count
        WScript.Echo "  " & ids(i) & "  " & names(i) & " (type " & types(i) & ")"
    Next
Else
    WScript.Echo "Attributes: not readable from this script host (0x" & Hex(Err.Number) & ")"
End If
Err.Clear
server.GetAggregates count, ids, names, descriptions
If Err.Number = 0 Then
    WScript.Echo "Aggregates: " & count
    For i = 1 To count
        WScript.Echo "  " & ids(i) & "  " & names(i)
    Next
Else
    WScript.Echo "Aggregates: not readable from this script host (0x" & Hex(Err.Number) & ")"
End If
Err.Clear

' A browser over the temperature signals only. Criteria are read from element 1.
Dim attributeIDs(1), operators(1), filters(1)
attributeIDs(1) = OPCHDAItemID : operators(1) = OPCHDAEqual : filters(1) = "*Temperature"
Set browser = server.CreateBrowser(1, attributeIDs, operators, filters, errors)
If Err.Number <> 0 Then
    WScript.Echo "Filtered browser refused (0x" & Hex(Err.Number) & "): browsing everything"
    Err.Clear
    Set browser = server.CreateBrowser()
End If
On Error GoTo 0

browser.MoveDown "Plant"
browser.MoveDown "Area1"
browser.MoveDown "Reactor1"
WScript.Echo "Position: " & browser.CurrentPosition

On Error Resume Next
names = browser.OPCHDALeaves
count = UBound(names)
If Err.Number = 0 Then
    WScript.Echo "Leaves here: " & count
    For i = 1 To count
        WScript.Echo "  " & names(i)
    Next
Else
    WScript.Echo "Leaves here: not readable from this script host"
End If
Err.Clear
On Error GoTo 0

itemID = browser.GetItemID("Temperature")
WScript.Echo "Item ID: " & itemID
browser.MoveToRoot
WScript.Echo "Back at the root: """ & browser.CurrentPosition & """"

' The latest value: one value, read backwards from now.
Set item = server.OPCHDAItems.AddItem(itemID, 1)
Set history = item.ReadRaw("NOW", "NOW-1H", 1)
For Each value In history
    WScript.Echo "Latest value: " & value.DataValue & " at " & value.TimeStamp & ", quality " & value.Quality
Next

server.Disconnect
WScript.Echo "DONE"
