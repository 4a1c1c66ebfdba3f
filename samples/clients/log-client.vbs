' A sample client of Halvern Diagnostics in VBScript: logs three messages
' the way the user guide shows.
'
'   cscript //nologo log-client.vbs [LOCATION]
Option Explicit
Dim location, bridge, mgr, theLog, item, cause
location = "Line 3"
If WScript.Arguments.Count > 0 Then location = WScript.Arguments(0)

' Scripts reach the log manager through the script bridge.
Set bridge = CreateObject("Halvern.ScriptBridge")
Set mgr = bridge.CreateLogManager()
' Values go by value (CStr): a script variable would arrive as a reference.
Set theLog = mgr.CreateTAVDiagnosticLog(CStr(location), "Pump")
theLog.ExtendItemSchema "<schema><element name=""Batch"" dt:type=""int""/></schema>"

' Info (4) for operators (8), verbosity 1, a text message with its batch
' number; synchronous: stored when the call returns.
Set item = theLog.BuildItemEx(Empty, "", 4, 8, 1, "Pump P-101 started by the script client", Array(), "", "")
item.PutParam "Batch", "4711"
theLog.LogThisItemEx item, True, 10000

' A warning (2) for engineers (4): message 1002 of the provider "Pump" with
' its insertion arguments, formatted later in the reader's language.
Set item = theLog.BuildItemEx(Empty, "", 2, 4, 2, 1002, Array("P-101", 7), "", "")
theLog.LogThisItemEx item, True, 10000

' An error (1) for developers (2) with a child item that explains it.
Set cause = theLog.BuildItemEx(Empty, "", 4, 2, 3, "Seal temperature 92 C", Array(), "", "")
Set item = theLog.BuildItemEx(Empty, "", 1, 2, 1, "Pump P-101 stopped", Array(), "", "")
item.SetChild cause
theLog.LogThisItemEx item, True, 10000

WScript.Echo "logged 3 messages at " & location
