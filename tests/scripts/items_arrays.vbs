' Members of the items collection that take or return arrays, one of each
' argument shape, and CreateBrowser with criteria, called as a VBScript client
' calls them (plain arrays and variables). Prints one line per call, "<member>
' <result>" and on success what came back: exactly items_arrays.expected, as
' items_arrays.js.
Option Explicit
On Error Resume Next

Dim server, items, T0, T1, E0, second, ids(3), clients(3), handles, errors, values, h(2), ramp(1), times(2)
Dim data(2), qualities(2), startTime, cancel, browser
Dim criteria(2), operators(2), filters(2), criteriaErrors
second = 1 / 86400
T0 = CDate(45810 + 10 / 24)   ' a fixed hour of the simulator's calibration history
T1 = CDate(45000 + 3 / 24 + 5 / 86400)   ' between two samples: a value is inserted there
E0 = T0 + 60 * second

Function Codes(a, n)
    Dim i : Codes = Hex(a(1))
    For i = 2 To n : Codes = Codes & "," & Hex(a(i)) : Next
End Function
Function History(h, since)
    Dim v : History = "n=" & h.Count
    For Each v In h
        History = History & " " & Round((CDbl(v.TimeStamp) - CDbl(since)) * 86400) & "/" & v.DataValue & "/" & v.Quality
    Next
End Function
' Prints the line of a call that failed (VBScript shows E_NOTIMPL as its own 445);
' the caller prints what a success returned.
Function Failed(name)
    Dim n : n = Err.Number : Failed = n <> 0
    If n = 445 Then n = &H80004001
    If Failed Then WScript.Echo name & " " & Hex(n)
    Err.Clear
End Function
' The line of a call that returns codes for n items, or one that returns histories.
Sub ShowCodes(name, n)
    If Not Failed(name) Then WScript.Echo name & " ok errors=" & Codes(errors, n)
End Sub
Sub ShowHistories(name, n, since)
    Dim i, s
    If Failed(name) Then Exit Sub
    For i = 1 To n
        s = s & " | " & Hex(errors(i))
        If IsObject(values(i)) Then s = s & " " & History(values(i), since)
    Next
    WScript.Echo name & " ok" & s
End Sub

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems

ids(1) = "Plant/Lab/Calibration/Ramp" : ids(2) = "Plant/Lab/Calibration/Step" : ids(3) = "Plant/No/Such"
clients(1) = 1 : clients(2) = 2 : clients(3) = 3
items.AddItems 3, ids, clients, handles, errors
If Not Failed("AddItems") Then WScript.Echo "AddItems ok valid=" & -CInt(handles(1) <> 0) & "," & _
    -CInt(handles(2) <> 0) & "," & -CInt(handles(3) <> 0) & " errors=" & Codes(errors, 3)
h(1) = handles(1) : h(2) = handles(2) : ramp(1) = handles(1)

items.SyncReadRaw T0, E0, 0, False, 2, h, values, errors : ShowHistories "SyncReadRaw", 2, T0
times(1) = T0 + 10 * second : times(2) = T0 + 60 * second
items.SyncReadAtTime 2, times, 2, h, values, errors : ShowHistories "SyncReadAtTime", 2, T0
times(1) = T1 : data(1) = 7 : qualities(1) = 192
items.SyncInsert 1, ramp, times, data, qualities, errors : ShowCodes "SyncInsert", 1

' An asynchronous member: its results arrive as events, which Wine's cscript
' cannot receive; what the call itself answers is compared.
startTime = "NOW-10M"   ' a variable: the start is written back
cancel = items.AsyncAdviseRaw(2, startTime, second, 2, h, errors) : ShowCodes "AsyncAdviseRaw", 2
items.AsyncCancelRead cancel : Err.Clear

' Browse criteria: calibration items whose data type is VT_R8 (5). The
' criteria's Errors come back as a typed array, which Wine's VBScript cannot
' index (Windows' can): they are not printed.
criteria(1) = 13 : criteria(2) = 1 : operators(1) = 1 : operators(2) = 1
filters(1) = "Plant/Lab/Calibration/*" : filters(2) = 5
Set browser = server.CreateBrowser(2, criteria, operators, filters, criteriaErrors)
If Not Failed("CreateBrowser") Then WScript.Echo "CreateBrowser ok position=" & browser.CurrentPosition
server.Disconnect
WScript.Echo "DONE"
