' The main job's client: creates the manager, a log, builds items and logs
' them to the Mux service, synchronously so that each is stored on return.
Option Explicit
Dim mgr, theLog, item, names, i, result

' The manager answers its dual interfaces but not IDispatch itself: scripts
' reach it through the script bridge.
Set mgr = CreateObject("Halvern.ScriptBridge").CreateLogManager()
Set theLog = mgr.CreateTAVDiagnosticLog("Line 3", "Pump")
theLog.ExtendItemSchema "<schema><element name=""Batch"" dt:type=""int""/><element name=""Operator"" type=""string""/></schema>"

' Severity Info (4), audience Op (8), verbosity 1, a text message.
Set item = theLog.BuildItemEx(CDate(Now), "operator", 4, 8, 1, "Pump P-101 started", Array(), "", "")
item.PutParam "Batch", "4711"
item.PutParam "Operator", "M. Keller"
names = Array("location", "provider", "datetime", "username", "severity", "audience", "verbosity", "msgtext", "batch", "operator")
WScript.Echo "An item built by log ""Line 3"" of provider ""Pump"":"
For i = 0 To UBound(names)
  WScript.Echo "  " & Left(names(i) & Space(10), 10) & " = " & item.GetParam(names(i))
Next
theLog.LogThisItemEx item, True, 10000
WScript.Echo "  logged synchronously: stored when the call returned"

' A message from the provider's resource DLL with insertion arguments. The
' arguments go to a SAFEARRAY* parameter: scripts pass an Array(...) value.
Set item = theLog.BuildItemEx(Empty, "", 2, 4, 2, 1002, Array("P-101", 7), "", "")
theLog.LogThisItemEx item, True, 10000
WScript.Echo "  logged a warning: resource message " & item.GetParam("msgtext") & " of provider Pump, arguments P-101 and 7"

' An error with a child item that explains it.
Dim cause
Set cause = theLog.BuildItemEx(Empty, "", 4, 2, 3, "Seal temperature 92 C", Array(), "", "")
Set item = theLog.BuildItemEx(Empty, "", 1, 2, 1, "Pump P-101 stopped", Array(), "", "")
item.SetChild cause
theLog.LogThisItemEx item, True, 10000
WScript.Echo "  logged an error with a child item"

For i = 1 To 5
  Set item = theLog.BuildItemEx(Empty, "", 4, 2, 3, "Flow reading " & i, Array(), "", "")
  theLog.LogThisItemEx item, False, 0
Next
Set item = theLog.BuildItemEx(Empty, "", 8, 1, 0, "Recipe changed by operator", Array(), "", "")
theLog.LogThisItemEx item, True, 10000
WScript.Echo "  logged five readings asynchronously and an audit item"

' The display definitions a viewer would use, in English and German (the
' language ids go by value: a variable would arrive as a reference).
Function Listed(values)
  Dim v
  Listed = ""
  For Each v In values
    If Listed <> "" Then Listed = Listed & ", "
    Listed = Listed & v
  Next
End Function
Dim display, groupNames, groupTypes
Set display = CreateObject("Halvern.ScriptBridge").LogDisplay(mgr)
display.GetReaderFieldGroupNames 1033, groupNames, groupTypes
If IsArray(groupNames) Then WScript.Echo "  field groups in English: " & Listed(groupNames)
display.GetReaderFieldGroupNames 1031, groupNames, groupTypes
If IsArray(groupNames) Then WScript.Echo "  field groups in German: " & Listed(groupNames)
