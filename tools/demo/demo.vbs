' The main job's client: creates the manager, a log, builds items and shows
' what the library made of them.
Option Explicit
Dim mgr, theLog, item, names, i
Set mgr = CreateObject("Halvern.ScriptBridge").CreateLogManager()
Set theLog = mgr.CreateTAVDiagnosticLog("Line 3", "Pump")
theLog.ExtendItemSchema "<schema><element name=""Batch"" dt:type=""int""/><element name=""Operator"" type=""string""/></schema>"
Set item = theLog.BuildItem(Now, "operator", 4, 1, 1, "Pump P-101 started")
item.PutParam "Batch", "4711"
item.PutParam "Operator", "M. Keller"
names = Array("location", "provider", "datetime", "username", "severity", "audience", "verbosity", "msgtext", "batch", "operator")
WScript.Echo "An item built by log ""Line 3"" of provider ""Pump"":"
For i = 0 To UBound(names)
  WScript.Echo "  " & Left(names(i) & Space(10), 10) & " = " & item.GetParam(names(i))
Next
WScript.Echo "  extended parameters: " & item.ExtendedParameterCount()
