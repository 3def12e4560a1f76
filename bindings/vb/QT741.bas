Attribute VB_Name = "QT741"
' QT741DLL.dll for VB6 and VBA hosts. VB6 and 32-bit Office load the 32-bit
' QT741DLL.dll, 64-bit Office (VBA7 on Win64) the x86_64 one; put it beside the
' program or the document, or on PATH. Each call blocks until the device answers.
Option Explicit

' Results of the card functions.
Public Const CARD_OK As Long = 1
Public Const CARD_NOT_OPEN As Long = -1
Public Const CARD_IO_FAILED As Long = -4
Public Const CARD_CANCELLED As Long = -5
' Another call of the library was under way: this one was refused at once and sent nothing.
Public Const CARD_BUSY As Long = -6

' Read buffers' sizes, terminator included; the longest track each holds is one less.
Public Const CARD_TRACK1_BUFFER_SIZE As Long = 397
Public Const CARD_TRACK2_BUFFER_SIZE As Long = 396
Public Const CARD_TRACKS_BUFFER_SIZE As Long = 300

#If VBA7 Then
Public Declare PtrSafe Function CreatmComm Lib "QT741DLL.dll" (ByVal portName As String) As Long
Public Declare PtrSafe Function DestroymComm Lib "QT741DLL.dll" () As Long
Public Declare PtrSafe Function CardReset Lib "QT741DLL.dll" () As Long
Public Declare PtrSafe Function IsReadError Lib "QT741DLL.dll" () As Long
Public Declare PtrSafe Function IsWriteError Lib "QT741DLL.dll" () As Long
Public Declare PtrSafe Function WrTr1Card Lib "QT741DLL.dll" (ByVal track1 As String) As Long
Public Declare PtrSafe Function WrTr2Card Lib "QT741DLL.dll" (ByVal track2 As String) As Long
Public Declare PtrSafe Function WrTr12Card Lib "QT741DLL.dll" (ByVal track1 As String, ByVal track2 As String) As Long
Public Declare PtrSafe Function RadTr1Card Lib "QT741DLL.dll" (ByVal track1 As String) As Long
Public Declare PtrSafe Function RadTr2Card Lib "QT741DLL.dll" (ByVal track2 As String) As Long
Public Declare PtrSafe Function RadTr12Card Lib "QT741DLL.dll" (ByVal track1 As String, ByVal track2 As String) As Long
' Ends a waiting call on another thread as Escape does (that call returns CARD_CANCELLED). Returns 1.
Public Declare PtrSafe Function CardCancel Lib "QT741DLL.dll" () As Long
#Else
Public Declare Function CreatmComm Lib "QT741DLL.dll" (ByVal portName As String) As Long
Public Declare Function DestroymComm Lib "QT741DLL.dll" () As Long
Public Declare Function CardReset Lib "QT741DLL.dll" () As Long
Public Declare Function IsReadError Lib "QT741DLL.dll" () As Long
Public Declare Function IsWriteError Lib "QT741DLL.dll" () As Long
Public Declare Function WrTr1Card Lib "QT741DLL.dll" (ByVal track1 As String) As Long
Public Declare Function WrTr2Card Lib "QT741DLL.dll" (ByVal track2 As String) As Long
Public Declare Function WrTr12Card Lib "QT741DLL.dll" (ByVal track1 As String, ByVal track2 As String) As Long
Public Declare Function RadTr1Card Lib "QT741DLL.dll" (ByVal track1 As String) As Long
Public Declare Function RadTr2Card Lib "QT741DLL.dll" (ByVal track2 As String) As Long
Public Declare Function RadTr12Card Lib "QT741DLL.dll" (ByVal track1 As String, ByVal track2 As String) As Long
Public Declare Function CardCancel Lib "QT741DLL.dll" () As Long
#End If

' The text before the terminator the library wrote.
Private Function Terminated(ByVal buffer As String) As String
    Dim nul As Long
    nul = InStr(buffer, vbNullChar)
    If nul > 0 Then Terminated = Left$(buffer, nul - 1) Else Terminated = buffer
End Function

' The reads with buffers of the right size: the result, and the track(s) in track1/track2.
Public Function ReadTrack1(ByRef track1 As String) As Long
    Dim buffer As String
    buffer = String$(CARD_TRACK1_BUFFER_SIZE, 0)
    ReadTrack1 = RadTr1Card(buffer)
    track1 = Terminated(buffer)
End Function

Public Function ReadTrack2(ByRef track2 As String) As Long
    Dim buffer As String
    buffer = String$(CARD_TRACK2_BUFFER_SIZE, 0)
    ReadTrack2 = RadTr2Card(buffer)
    track2 = Terminated(buffer)
End Function

Public Function ReadTracks(ByRef track1 As String, ByRef track2 As String) As Long
    Dim buffer1 As String, buffer2 As String
    buffer1 = String$(CARD_TRACKS_BUFFER_SIZE, 0)
    buffer2 = String$(CARD_TRACKS_BUFFER_SIZE, 0)
    ReadTracks = RadTr12Card(buffer1, buffer2)
    track1 = Terminated(buffer1)
    track2 = Terminated(buffer2)
End Function
