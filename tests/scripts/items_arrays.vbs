' Every member of the items collection that takes or returns an array, and
' CreateBrowser with criteria, called as a VBScript client calls them (plain
' arrays and variables). Prints one line per call, "<member> <result>" and on
' success what came back: exactly the lines of items_arrays.expected, which
' items_arrays.js prints too and a C++ client gets through the vtables.
Option Explicit
On Error Resume Next

Dim server, items, T0, T1, second
second = 1 / 86400
T0 = CDate(45810 + 10 / 24)   ' a fixed hour of the simulator's calibration history
T1 = CDate(45000 + 3 / 24 + 5 / 86400)   ' between two samples: values are inserted and deleted there

Function Codes(a, n)
    Dim i, s
    For i = 1 To n
        s = s & Hex(a(i))
        If i < n Then s = s & ","
    Next
    Codes = s
End Function
Function History(h, since)
    Dim v, s
    s = "n=" & h.Count
    For Each v In h
        s = s & " " & Round((CDbl(v.TimeStamp) - CDbl(since)) * 86400) & "/" & v.DataValue & "/" & v.Quality
    Next
    History = s
End Function
Function Histories(values, errors, n, since)
    Dim i, s
    For i = 1 To n
        s = s & " | " & Hex(errors(i))
        If IsObject(values(i)) Then s = s & " " & History(values(i), since)
    Next
    Histories = s
End Function
' The HRESULT behind Err.Number (VBScript shows some as its own error numbers).
Function Code(n)
    Select Case n
        Case 5: Code = "80070057"     ' E_INVALIDARG
        Case 7: Code = "8007000E"     ' E_OUTOFMEMORY
        Case 13: Code = "80020005"    ' DISP_E_TYPEMISMATCH
        Case 445: Code = "80004001"   ' E_NOTIMPL
        Case Else: Code = Hex(n)
    End Select
End Function
' Prints the line of a call that failed; the caller prints what a success returned.
Function Failed(name)
    Failed = Err.Number <> 0
    If Failed Then WScript.Echo name & " " & Code(Err.Number)
    Err.Clear
End Function
Function Valid(handle)
    If handle <> 0 Then Valid = 1 Else Valid = 0
End Function

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems

Dim ids(3), clients(3), handles, errors, values, h(2), ramp(1), times(2), data(2), qualities(2), startTime, endTime
ids(1) = "Plant/Lab/Calibration/Ramp" : ids(2) = "Plant/Lab/Calibration/Step" : ids(3) = "Plant/No/Such"
clients(1) = 1 : clients(2) = 2 : clients(3) = 3
items.AddItems 3, ids, clients, handles, errors
If Not Failed("AddItems") Then WScript.Echo "AddItems ok" & " valid=" & Valid(handles(1)) & "," & Valid(handles(2)) & "," & Valid(handles(3)) & _
    " errors=" & Codes(errors, 3)
h(1) = handles(1) : h(2) = handles(2) : ramp(1) = handles(1)

items.Validate 3, ids, errors
If Not Failed("Validate") Then WScript.Echo "Validate ok" & " errors=" & Codes(errors, 3)

startTime = T0 : endTime = T0 + 60 * second
items.SyncReadRaw startTime, endTime, 0, False, 2, h, values, errors
If Not Failed("SyncReadRaw") Then WScript.Echo "SyncReadRaw ok" & Histories(values, errors, 2, T0)

Dim aggregates(2)
aggregates(1) = 10 : aggregates(2) = 5   ' maximum, count
startTime = T0 : endTime = T0 + 1 / 24
items.SyncReadProcessed startTime, endTime, 20 / 1440, 2, h, aggregates, values, errors
If Not Failed("SyncReadProcessed") Then WScript.Echo "SyncReadProcessed ok" & Histories(values, errors, 2, T0)

times(1) = T0 + 10 * second : times(2) = T0 + 60 * second
items.SyncReadAtTime 2, times, 2, h, values, errors
If Not Failed("SyncReadAtTime") Then WScript.Echo "SyncReadAtTime ok" & Histories(values, errors, 2, T0)

Dim attributes(3)
attributes(1) = 1 : attributes(2) = 13 : attributes(3) = 11   ' data type, item ID, normal maximum
startTime = T0 : endTime = T0
items.SyncReadAttribute startTime, endTime, handles(1), 3, attributes, values, errors
If Not Failed("SyncReadAttribute") Then WScript.Echo "SyncReadAttribute ok" & Histories(values, errors, 3, T0)

times(1) = T1 : data(1) = 7 : qualities(1) = 192
items.SyncInsert 1, ramp, times, data, qualities, errors
If Not Failed("SyncInsert") Then WScript.Echo "SyncInsert ok" & " errors=" & Codes(errors, 1)
data(1) = 8
items.SyncReplace 1, ramp, times, data, qualities, errors
If Not Failed("SyncReplace") Then WScript.Echo "SyncReplace ok" & " errors=" & Codes(errors, 1)
times(1) = T1 + 10 * second : data(1) = 9
items.SyncInsertReplace 1, ramp, times, data, qualities, errors
If Not Failed("SyncInsertReplace") Then WScript.Echo "SyncInsertReplace ok" & " errors=" & Codes(errors, 1)

startTime = T1 - 60 * second : endTime = T1 + 60 * second
items.SyncReadModified startTime, endTime, 0, 1, ramp, values, errors
If Not Failed("SyncReadModified") Then WScript.Echo "SyncReadModified ok" & Histories(values, errors, 1, T1)

Dim notes(1)
times(1) = T1 : notes(1) = "checked"
items.SyncInsertAnnotations 1, ramp, times, notes, errors
If Not Failed("SyncInsertAnnotations") Then WScript.Echo "SyncInsertAnnotations ok" & " errors=" & Codes(errors, 1)
startTime = T1 - 60 * second : endTime = T1 + 60 * second
items.SyncReadAnnotations startTime, endTime, 1, ramp, values, errors
If Not Failed("SyncReadAnnotations") Then WScript.Echo "SyncReadAnnotations ok" & Histories(values, errors, 1, T1)

times(1) = T1 + 10 * second
items.SyncDeleteAtTime 1, ramp, times, errors
If Not Failed("SyncDeleteAtTime") Then WScript.Echo "SyncDeleteAtTime ok" & " errors=" & Codes(errors, 1)
startTime = T1 - 5 * second : endTime = T1 + 5 * second
items.SyncDeleteRaw startTime, endTime, 1, ramp, errors
If Not Failed("SyncDeleteRaw") Then WScript.Echo "SyncDeleteRaw ok" & " errors=" & Codes(errors, 1)

' The asynchronous members: their results arrive as events, which Wine's
' cscript cannot receive; what the call itself answers is compared.
Dim cancel
startTime = T0 : endTime = T0 + 60 * second
cancel = items.AsyncReadRaw(1, startTime, endTime, 0, False, 2, h, errors)
If Not Failed("AsyncReadRaw") Then WScript.Echo "AsyncReadRaw ok" & " errors=" & Codes(errors, 2)
cancel = items.AsyncReadProcessed(2, startTime, endTime, 20 / 1440, 2, h, aggregates, errors)
If Not Failed("AsyncReadProcessed") Then WScript.Echo "AsyncReadProcessed ok" & " errors=" & Codes(errors, 2)
times(1) = T0 + 10 * second : times(2) = T0 + 60 * second
cancel = items.AsyncReadAtTime(3, 2, times, 2, h, errors)
If Not Failed("AsyncReadAtTime") Then WScript.Echo "AsyncReadAtTime ok" & " errors=" & Codes(errors, 2)
cancel = items.AsyncReadModified(4, startTime, endTime, 0, 2, h, errors)
If Not Failed("AsyncReadModified") Then WScript.Echo "AsyncReadModified ok" & " errors=" & Codes(errors, 2)
cancel = items.AsyncReadAttribute(5, startTime, endTime, handles(1), 3, attributes, errors)
If Not Failed("AsyncReadAttribute") Then WScript.Echo "AsyncReadAttribute ok" & " errors=" & Codes(errors, 3)
cancel = items.AsyncReadAnnotations(6, startTime, endTime, 2, h, errors)
If Not Failed("AsyncReadAnnotations") Then WScript.Echo "AsyncReadAnnotations ok" & " errors=" & Codes(errors, 2)
times(1) = T1 : data(1) = 7
cancel = items.AsyncInsert(7, 1, ramp, times, data, qualities, errors)
If Not Failed("AsyncInsert") Then WScript.Echo "AsyncInsert ok" & " errors=" & Codes(errors, 1)
cancel = items.AsyncReplace(8, 1, ramp, times, data, qualities, errors)
If Not Failed("AsyncReplace") Then WScript.Echo "AsyncReplace ok" & " errors=" & Codes(errors, 1)
cancel = items.AsyncInsertReplace(9, 1, ramp, times, data, qualities, errors)
If Not Failed("AsyncInsertReplace") Then WScript.Echo "AsyncInsertReplace ok" & " errors=" & Codes(errors, 1)
cancel = items.AsyncInsertAnnotations(10, 1, ramp, times, notes, errors)
If Not Failed("AsyncInsertAnnotations") Then WScript.Echo "AsyncInsertAnnotations ok" & " errors=" & Codes(errors, 1)
cancel = items.AsyncDeleteAtTime(11, 1, ramp, times, errors)
If Not Failed("AsyncDeleteAtTime") Then WScript.Echo "AsyncDeleteAtTime ok" & " errors=" & Codes(errors, 1)
startTime = T1 - 5 * second : endTime = T1 + 5 * second
cancel = items.AsyncDeleteRaw(12, startTime, endTime, 1, ramp, errors)
If Not Failed("AsyncDeleteRaw") Then WScript.Echo "AsyncDeleteRaw ok" & " errors=" & Codes(errors, 1)
startTime = "NOW-10M"
cancel = items.AsyncAdviseRaw(13, startTime, 1 / 1440, 2, h, errors)
If Not Failed("AsyncAdviseRaw") Then WScript.Echo "AsyncAdviseRaw ok" & " errors=" & Codes(errors, 2)
items.AsyncCancelRead cancel
Err.Clear
startTime = "NOW-10M"
cancel = items.AsyncAdviseProcessed(14, startTime, 1 / 1440, 2, 2, h, aggregates, errors)
If Not Failed("AsyncAdviseProcessed") Then WScript.Echo "AsyncAdviseProcessed ok" & " errors=" & Codes(errors, 2)
items.AsyncCancelRead cancel
Err.Clear
startTime = T0 : endTime = T0 + 60 * second
cancel = items.AsyncPlaybackRaw(15, startTime, endTime, 0, 10 * second, 1 * second, 2, h, errors)
If Not Failed("AsyncPlaybackRaw") Then WScript.Echo "AsyncPlaybackRaw ok" & " errors=" & Codes(errors, 2)
items.AsyncCancelPlayback cancel
Err.Clear
startTime = T0 : endTime = T0 + 1 / 24
cancel = items.AsyncPlaybackProcessed(16, startTime, endTime, 20 / 1440, 1, 1 * second, 2, h, aggregates, errors)
If Not Failed("AsyncPlaybackProcessed") Then WScript.Echo "AsyncPlaybackProcessed ok" & " errors=" & Codes(errors, 2)
items.AsyncCancelPlayback cancel
Err.Clear

' Browse criteria: calibration items whose data type is VT_R8 (5). The
' criteria's Errors come back as a typed array, which Wine's VBScript cannot
' index (Windows' can): they are not printed.
Dim browser, criteria(2), operators(2), filters(2), criteriaErrors
criteria(1) = 13 : criteria(2) = 1
operators(1) = 1 : operators(2) = 1
filters(1) = "Plant/Lab/Calibration/*" : filters(2) = 5
Set browser = server.CreateBrowser(2, criteria, operators, filters, criteriaErrors)
If Not Failed("CreateBrowser") Then WScript.Echo "CreateBrowser ok position=" & browser.CurrentPosition

Dim one(1)
one(1) = handles(2)
items.Remove 1, one, errors
If Not Failed("Remove") Then WScript.Echo "Remove ok" & " errors=" & Codes(errors, 1) & " count=" & items.Count

server.Disconnect
WScript.Echo "DONE"
