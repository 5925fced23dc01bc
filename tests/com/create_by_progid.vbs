' Creates the object of the ProgID given as the first argument and reads one property.
' Prints "created: PendingFolderName=<value>" and exits 0, or prints "not created: <error>" and
' exits 2: a script error would end cscript under wine with status 0 and no message.
Option Explicit

Dim o
On Error Resume Next
Set o = CreateObject(WScript.Arguments(0))
If Err.Number <> 0 Then
    WScript.Echo "not created: " & Hex(Err.Number)
    WScript.Quit 2
End If
Dim folder : folder = o.PendingFolderName
If Err.Number <> 0 Then
    WScript.Echo "not read: " & Hex(Err.Number)
    WScript.Quit 3
End If
On Error GoTo 0
WScript.Echo "created: PendingFolderName=" & folder
