' A viewer written in VBScript: installs the sample definition file, lists the field groups in German and
' English and gets one group's definition, through the display interface of a log manager.
Option Explicit
Dim failures : failures = 0

Sub Check(name, actual, expected)
  If actual = expected And TypeName(actual) = TypeName(expected) Then
    WScript.Echo "ok   " & name
  Else
    WScript.Echo "FAIL " & name & ": got " & TypeName(actual) & " [" & actual & "], expected [" & expected & "]"
    failures = failures + 1
  End If
End Sub

' The text with characters beyond ASCII as "&#code;" (ANSI code): Wine's VBScript has neither ChrW nor AscW.
Function Marked(text)
  Dim i, c
  For i = 1 To Len(text)
    c = Mid(text, i, 1)
    If Asc(c) > 127 Then c = "&#" & Asc(c) & ";"
    Marked = Marked & c
  Next
End Function

' The elements of a list joined with "|" (Wine's VBScript has no Join).
Function Joined(list)
  Dim i
  For i = LBound(list) To UBound(list)
    If i > LBound(list) Then Joined = Joined & "|"
    Joined = Joined & list(i)
  Next
End Function

' Lines separated by "|", each starting with its depth in tabs, ended with line feeds.
Function Lines(spec)
  Dim part
  For Each part In Split(spec, "|")
    Lines = Lines & String(CInt(Left(part, 1)), vbTab) & Mid(part, 2) & vbLf
  Next
End Function

' The sample is the only definition file of the machine's folder while the script runs. Wine's
' ExpandEnvironmentStrings keeps the terminating null, so the common files folder comes from the registry;
' Wine's File object has no Delete, and DeleteFile with a pattern fails when nothing matches.
Dim shell, fso, folder, file
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
folder = shell.RegRead("HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\CommonFilesDir") & "\Corvala"
If Not fso.FolderExists(folder) Then fso.CreateFolder folder
For Each file In fso.GetFolder(folder).Files
  If LCase(fso.GetExtensionName(file.Name)) = "hvds" Then fso.DeleteFile folder & "\" & file.Name
Next
fso.CopyFile "..\..\samples\definitions\Pump.hvds", folder & "\Pump.hvds"

Dim mgr, display, names, types
Set mgr = CreateObject("Halvern.ScriptBridge").CreateLogManager()
Set display = CreateObject("Halvern.ScriptBridge").LogDisplay(mgr)
display.GetReaderFieldGroupNames 1031, names, types
Check "lists are arrays", TypeName(names) & " " & TypeName(types), "Variant() Variant()"
Check "German names and types", Joined(names) & "=" & Joined(types), "Pumpe|Wartung=Pump|PumpService"
display.GetReaderFieldGroupNames 1033, names, types
Check "English names and types", Joined(names) & "=" & Joined(types), "Pump|Service=Pump|PumpService"
Check "German definition of the pump group", Marked(display.GetGroupDefinition(1031, "Pumpe", "Pump")), _
  Lines("0<Group Name=""Pump"">|1<DisplayName>Pumpe</DisplayName>|1<Field type=""Base"">|2<Name>location</Name>|" & _
    "2<Label>Anlage</Label>|1</Field>|1<Field>|2<Name>State</Name>|2<DataType>int</DataType>|" & _
    "2<Label>Betriebszustand</Label>|2<EnumMap>|3<Value value=""0"">|4<Text>Angehalten</Text>|3</Value>|" & _
    "3<Value value=""1"">|4<Text>L&#228;uft</Text>|3</Value>|3<Value value=""2"">|4<Text>St&#246;rung</Text>|" & _
    "4<Severity>Error</Severity>|3</Value>|2</EnumMap>|1</Field>|1<Field>|2<Name>FlowRate</Name>|" & _
    "2<DataType>double</DataType>|2<Label>F&#246;rderleistung</Label>|2<Unit>m&#179;/h</Unit>|1</Field>|0</Group>")

Set display = Nothing
Set mgr = Nothing
fso.DeleteFile folder & "\Pump.hvds"
If failures > 0 Then WScript.Echo failures & " check(s) failed" : WScript.Quit 1
WScript.Echo "PASS"
