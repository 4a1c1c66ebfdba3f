' A viewer written in VBScript: installs the sample definition file, lists
' the field groups in German and English and gets one group's definition,
' through the display interface of a log manager.
Option Explicit
Dim failures : failures = 0

Sub Check(name, actual, expected)
  If actual = expected And TypeName(actual) = TypeName(expected) Then
    WScript.Echo "ok   " & name
  Else
    WScript.Echo "FAIL " & name & ": got " & TypeName(actual) & " [" & actual & _
                 "], expected " & TypeName(expected) & " [" & expected & "]"
    failures = failures + 1
  End If
End Sub

' The elements of a list, joined with "|".
Function Joined(list)
  Dim i, text
  text = ""
  For i = LBound(list) To UBound(list)
    If i > LBound(list) Then text = text & "|"
    text = text & list(i)
  Next
  Joined = text
End Function

' The text with every character beyond ASCII written as "&#code;", its code
' in the ANSI code page. Wine's VBScript has neither ChrW nor AscW, so the
' script compares such characters through Asc.
Function Marked(text)
  Dim i, c
  Marked = ""
  For i = 1 To Len(text)
    c = Mid(text, i, 1)
    If Asc(c) > 127 Then c = "&#" & Asc(c) & ";"
    Marked = Marked & c
  Next
End Function

' One line of a definition: indented with tabs, ended with a line feed.
Function Line(depth, text)
  Line = String(depth, vbTab) & text & vbLf
End Function

' The definition folder of the machine, holding the sample as its only
' definition file while the script runs.
Dim shell, fso, folder, file
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
' Wine's ExpandEnvironmentStrings returns the terminating null as part of
' the string, so the common files folder is read from the registry instead.
folder = shell.RegRead("HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\CommonFilesDir") & "\Corvala"
If Not fso.FolderExists(folder) Then fso.CreateFolder folder
' Wine's File object has no Delete; DeleteFile with a pattern does the same,
' but fails when nothing matches.
Dim leftovers : leftovers = False
For Each file In fso.GetFolder(folder).Files
  If LCase(fso.GetExtensionName(file.Name)) = "hvds" Then leftovers = True
Next
If leftovers Then fso.DeleteFile folder & "\*.hvds"
fso.CopyFile "..\..\samples\definitions\Pump.hvds", folder & "\Pump.hvds"

Dim bridge, mgr, display
Set bridge = CreateObject("Halvern.ScriptBridge")
Set mgr = bridge.CreateLogManager()
Set display = bridge.LogDisplay(mgr)

Dim names, types
display.GetReaderFieldGroupNames 1031, names, types
Check "lists are arrays", TypeName(names) & " " & TypeName(types), "Variant() Variant()"
Check "German names", Joined(names), "Pumpe|Wartung"
Check "types", Joined(types), "Pump|PumpService"
display.GetReaderFieldGroupNames 1033, names, types
Check "English names", Joined(names), "Pump|Service"
Check "same types", Joined(types), "Pump|PumpService"

Dim definition, expected
definition = display.GetGroupDefinition(1031, "Pumpe", "Pump")
WScript.Echo Marked(definition)
expected = "<Group Name=""Pump"">" & vbLf & _
  Line(1, "<DisplayName>Pumpe</DisplayName>") & _
  Line(1, "<Field type=""Base"">") & _
    Line(2, "<Name>location</Name>") & _
    Line(2, "<Label>Anlage</Label>") & _
  Line(1, "</Field>") & _
  Line(1, "<Field>") & _
    Line(2, "<Name>State</Name>") & _
    Line(2, "<DataType>int</DataType>") & _
    Line(2, "<Label>Betriebszustand</Label>") & _
    Line(2, "<EnumMap>") & _
      Line(3, "<Value value=""0"">") & Line(4, "<Text>Angehalten</Text>") & Line(3, "</Value>") & _
      Line(3, "<Value value=""1"">") & Line(4, "<Text>L&#228;uft</Text>") & Line(3, "</Value>") & _
      Line(3, "<Value value=""2"">") & Line(4, "<Text>St&#246;rung</Text>") & _
        Line(4, "<Severity>Error</Severity>") & Line(3, "</Value>") & _
    Line(2, "</EnumMap>") & _
  Line(1, "</Field>") & _
  Line(1, "<Field>") & _
    Line(2, "<Name>FlowRate</Name>") & _
    Line(2, "<DataType>double</DataType>") & _
    Line(2, "<Label>F&#246;rderleistung</Label>") & _
    Line(2, "<Unit>m&#179;/h</Unit>") & _
  Line(1, "</Field>") & _
  "</Group>" & vbLf
Check "German definition of the pump group", Marked(definition), expected

Set display = Nothing
Set mgr = Nothing
fso.DeleteFile folder & "\Pump.hvds"

If failures = 0 Then
  WScript.Echo "PASS"
Else
  WScript.Echo failures & " check(s) failed"
  WScript.Quit 1
End If
