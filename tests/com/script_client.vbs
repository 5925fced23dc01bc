' A client that knows the add-in only by its ProgID and calls it by name, as a script host does:
' every setting put and read back with its stored form in ostrel.cfg, the configuration session,
' the help-dialog flags, the list members, the pending folder's name and a wrong argument type.
' Exits with 1 when a check fails; only a run to the end prints the closing line.
Option Explicit

Dim failures : failures = 0
Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Dim shell, fso, dataDir
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
' wine's ExpandEnvironmentStrings keeps the terminating zero in its result.
dataDir = Replace(shell.ExpandEnvironmentStrings("%APPDATA%"), Chr(0), "") & "\OstrelAntiSpam"
' The test runner empties the data directory first: the module seeds it afresh.

' The stored text of `key` in the data file `name` ("key = value ;" lines), or "<missing>".
Function StoredIn(name, key)
    Dim file, line, prefix
    StoredIn = "<missing>"
    If Not fso.FileExists(dataDir & "\" & name) Then Exit Function
    Set file = fso.OpenTextFile(dataDir & "\" & name, 1)
    prefix = key & " = "
    For Each line In Split(file.ReadAll, vbCrLf)
        If Left(line, Len(prefix)) = prefix And Right(line, 2) = " ;" Then
            StoredIn = Mid(line, Len(prefix) + 1, Len(line) - Len(prefix) - 2)
        End If
    Next
    file.Close
End Function

' The stored text of `key` in ostrel.cfg, or "<missing>".
Function Stored(key)
    Stored = StoredIn("ostrel.cfg", key)
End Function

' A flag is stored as "true" or "false" and read back as 1 or 0.
Sub CheckFlag(key, readBack, expected)
    Dim text : text = "false" : If expected Then text = "true"
    Check Stored(key) = text, key & " is stored as '" & Stored(key) & "', expected '" & text & "'"
    Check CLng(readBack) = CLng(Abs(expected)), key & " reads " & CLng(readBack)
End Sub

Dim o, versioned
Set o = CreateObject("Tarnwick.MailerInterfaceTest")
Set versioned = CreateObject("Tarnwick.MailerInterfaceTest.1")
Check IsObject(versioned), "the versioned ProgID creates the object"
Set versioned = Nothing

' The new installation has an answer key of its own, not the one the pristine copy ships with.
Dim ownKey : ownKey = o.ARSubjectKey
Check Len(ownKey) = 14 And Left(ownKey, 5) = "[TWK-" And Right(ownKey, 1) = "]", "the answer key is '" & ownKey & "'"
Check ownKey <> StoredIn("ostrel_original.cfg", "ARSubjectKey"), "the answer key is the pristine copy's"
Check Stored("ARSubjectKey") = ownKey, "the answer key is stored as '" & Stored("ARSubjectKey") & "'"
Check InStr(o.ARSubject, ownKey) > 0, "ARSubject '" & o.ARSubject & "' does not quote the answer key"

o.MarkBlockedAsRead = False : CheckFlag "MarkBlockedAsRead", o.MarkBlockedAsRead, False
o.MarkBlockedAsRead = True : CheckFlag "MarkBlockedAsRead", o.MarkBlockedAsRead, True
o.AutoDeleteBlocked = False : CheckFlag "AutoDeleteBlocked", o.AutoDeleteBlocked, False
o.AutoDeleteBlocked = True : CheckFlag "AutoDeleteBlocked", o.AutoDeleteBlocked, True
o.AutoDeleteIgnored = False : CheckFlag "AutoDeleteIgnored", o.AutoDeleteIgnored, False
o.AutoDeleteIgnored = True : CheckFlag "AutoDeleteIgnored", o.AutoDeleteIgnored, True
o.EnableProtection = False : CheckFlag "EnableProtection", o.EnableProtection, False
o.EnableProtection = True : CheckFlag "EnableProtection", o.EnableProtection, True

' VBScript has no unsigned types: LanguageId (16 bits) and PendingToBlockedTimeo (32 bits) are
' read through CLng.
o.LanguageId = 1031
Check Stored("LanguageId") = "1031", "LanguageId is stored as '" & Stored("LanguageId") & "'"
Check CLng(o.LanguageId) = 1031, "LanguageId reads " & CLng(o.LanguageId)
o.PendingToBlockedTimeo = 30
Check Stored("PendingToBlockedTimeo") = "30", "PendingToBlockedTimeo is stored as '" & Stored("PendingToBlockedTimeo") & "'"
Check CLng(o.pendingtoblockedtimeo) = 30, "PendingToBlockedTimeo reads " & CLng(o.PendingToBlockedTimeo)

o.ARSubject = "Please confirm [K]"
Check Stored("ARSubject") = "Please confirm [K]", "ARSubject is stored as '" & Stored("ARSubject") & "'"
Check o.ARSubject = "Please confirm [K]", "ARSubject reads '" & o.ARSubject & "'"
o.ARSubjectKey = "[K]"
Check Stored("ARSubjectKey") = "[K]", "ARSubjectKey is stored as '" & Stored("ARSubjectKey") & "'"
Check o.ARSubjectKey = "[K]", "ARSubjectKey reads '" & o.ARSubjectKey & "'"
o.ARMessageKey = "[M]"
Check Stored("ARMessageKey") = "[M]", "ARMessageKey is stored as '" & Stored("ARMessageKey") & "'"
Check o.ARMessageKey = "[M]", "ARMessageKey reads '" & o.ARMessageKey & "'"
o.ARMessage = "Line one" & vbLf & "Line two"
Check Stored("ARMessage") = "Line one" & Chr(1) & "Line two", "a line break of ARMessage is stored as byte 1"
Check o.ARMessage = "Line one" & vbLf & "Line two", "ARMessage reads back its two lines"

' The configuration session keeps puts in memory until it ends.
o.BeginConfigure
o.ARSubject = "Changed in session"
Check Stored("ARSubject") = "Please confirm [K]", "a put inside a session is not written"
Check o.ARSubject = "Changed in session", "a put inside a session is read back"
o.EndConfigure False
Check o.ARSubject = "Please confirm [K]", "EndConfigure False brings back the stored value"
o.BeginConfigure
o.ARSubjectKey = "[S]"
o.HelpDlgEnabled(3) = False
Check Stored("HelpDlg3Enabled") = "false", "HelpDlgEnabled(3) is written at once inside a session"
Check Stored("ARSubjectKey") = "[S]", "HelpDlgEnabled writes the session's changes with it"
o.ARSubject = "Kept"
o.EndConfigure True
Check Stored("ARSubject") = "Kept", "EndConfigure True writes the session's changes"
Check CLng(o.HelpDlgEnabled(3)) = 0, "HelpDlgEnabled(3) reads 0 once switched off"
Check CLng(o.HelpDlgEnabled(7)) = 1, "a help dialog never switched off reads as enabled"
o.HelpDlgEnabled(3) = True
Check Stored("HelpDlg3Enabled") = "true", "HelpDlgEnabled(3) True is stored as true"

' Lists: 0 authorized, 2 ignore. Entries come back sorted, through one cursor.
Check o.GetListSize(0) = 0, "the authorized list starts empty"
o.AddToList 0, "b@example.com"
o.AddToList 0, "a@example.com"
o.AddToList 0, "c@example.com"
Check o.GetListSize(0) = 3, "three addresses added"
Check o.GetListItem(0, 0) = "a@example.com", "first entry"
Check o.GetListItem(0, 1) = "b@example.com", "second entry"
Check o.GetListItem(0, 2) = "c@example.com", "third entry"
o.RemoveFromList 0, "b@example.com"
Check o.GetListSize(0) = 2, "RemoveFromList takes one address off"
o.ModifyInList 0, "a@example.com", "d@example.com"
Check o.GetListItem(0, 0) = "c@example.com" And o.GetListItem(0, 1) = "d@example.com", "ModifyInList replaces the address"
o.AddToList 2, "c@example.com"
Check o.GetListSize(0) = 1 And o.GetListSize(2) = 1, "an address stands on one list at most"
Check o.GetListItem(2, 0) = "c@example.com", "the ignore list holds the moved address"

Check o.PendingFolderName = "Pending", "PendingFolderName reads '" & o.PendingFolderName & "'"

' Arguments that do not convert, and names that are not members, raise errors.
Dim size
On Error Resume Next
size = o.GetListSize("abc")
Check Err.Number = 13 Or Err.Number = &H80020005, "a text for a number raises a type mismatch, not " & Err.Number
Err.Clear
o.LanguageId = "not a number"
Check Err.Number = 13 Or Err.Number = &H80020005, "a text for LanguageId raises a type mismatch, not " & Err.Number
Err.Clear
size = o.NoSuchMember
Check Err.Number = 438 Or Err.Number = &H80020006, "an unknown name raises an error, not " & Err.Number
Err.Clear
On Error GoTo 0
Check CLng(o.LanguageId) = 1031, "a refused put changes nothing"

Set o = Nothing
If failures > 0 Then
    WScript.Echo "script client: " & failures & " checks failed"
    WScript.Quit 1
End If
WScript.Echo "script client: all checks passed"
