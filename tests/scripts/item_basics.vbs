' A late-bound client (the manager answers its dual interfaces, not IDispatch itself, so the script bridge
' creates it): creates a log, builds an item and reads and writes its fields through the type library.
Option Explicit
Dim failures : failures = 0

Sub Check(name, actual, expected)
  If actual = expected And TypeName(actual) = TypeName(expected) Then
    WScript.Echo "ok   " & name
  Else
    WScript.Echo "FAIL " & name & ": got " & TypeName(actual) & " " & actual & ", expected " & expected
    failures = failures + 1
  End If
End Sub

Dim mgr, theLog, item, stamp, args, putFailed, names, values, i
Set mgr = CreateObject("Halvern.ScriptBridge").CreateLogManager()
Set theLog = mgr.CreateTAVDiagnosticLog("Line 3", "Pump")
stamp = DateSerial(2026, 12, 5) + TimeSerial(8, 30, 0)
' The date goes to a DATE* parameter: a script passes a value (an expression), not a variable, which would
' arrive as a reference to a VARIANT. Kind 0 is logged as Info (4); type User (1) is the VELTRA audience (1).
Set item = theLog.BuildItem(CDate(stamp), "operator", 0, 1, 3, "Pump started")
names = Array("location", "Provider", "datetime", "username", "severity", "AUDIENCE", "verbosity", "msgtext")
values = Array("Line 3", "Pump", stamp, "operator", CLng(4), CLng(1), CLng(3), "Pump started")
For i = 0 To UBound(names)
  Check names(i), item.GetParam(names(i)), values(i)
Next

item.PutParam "SEVERITY", "2"
Check "severity set from text", item.GetParam("kind"), CLng(2)
item.PutParam "type", 4
Check "type other than User is Dev", item.GetParam("audience"), CLng(2)
item.PutParam "msgtext", 1001
Check "resource id", item.GetParam("msgtext"), CLng(1001)
item.PutParam "ce_based_message", True
Check "ce_based_message", item.GetParam("ce_based_message"), True
item.PutParam "arglist", Array("C:", 95)
args = item.GetParam("arglist")
Check "arguments", UBound(args) + 1 & " " & args(0) & " " & TypeName(args(1)) & " " & args(1), "2 C: Integer 95"
Check "no extended parameters", CLng(item.ExtendedParameterCount()), CLng(0)

' A field that is neither standard nor declared fails.
On Error Resume Next
item.PutParam "batch", 7
putFailed = (Err.Number <> 0)
On Error GoTo 0
Check "undeclared field refused", putFailed, True

' Items built afterwards carry the declared extended parameters.
theLog.ExtendItemSchema "<x><element name=""Batch"" dt:type=""int""/></x>"
Set item = theLog.BuildItem(CDate(stamp), "", 1, 2, 0, "Valve fault")
Check "extended count", CLng(item.ExtendedParameterCount()), CLng(1)
item.PutParam "BATCH", "12"
Check "extended value converted", item.GetParam("batch"), CLng(12)

Set item = Nothing
Set theLog = Nothing
mgr.ReleaseLogs
Set mgr = Nothing
If failures > 0 Then WScript.Echo failures & " check(s) failed" : WScript.Quit 1
WScript.Echo "PASS"
