' A late-bound client: creates the manager through the script bridge (it
' answers its dual interfaces but not IDispatch itself), creates a log, builds
' an item and reads and writes its fields through the type library.
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

Dim mgr, theLog, item, stamp, args, putFailed
Set mgr = CreateObject("Halvern.ScriptBridge").CreateLogManager()
Set theLog = mgr.CreateTAVDiagnosticLog("Line 3", "Pump")
stamp = DateSerial(2026, 12, 5) + TimeSerial(8, 30, 0)
' The date goes to a DATE* parameter: a script passes a value (an expression),
' not a variable, which would arrive as a reference to a VARIANT. Kind 0 is
' logged as Info (4); type User (1) is the VELTRA audience (1).
Set item = theLog.BuildItem(CDate(stamp), "operator", 0, 1, 3, "Pump started")
Check "location", item.GetParam("location"), "Line 3"
Check "provider", item.GetParam("Provider"), "Pump"
Check "datetime", item.GetParam("datetime"), stamp
Check "username", item.GetParam("username"), "operator"
Check "severity", item.GetParam("severity"), CLng(4)
Check "audience", item.GetParam("AUDIENCE"), CLng(1)
Check "verbosity", item.GetParam("verbosity"), CLng(3)
Check "msgtext", item.GetParam("msgtext"), "Pump started"

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
