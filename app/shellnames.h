#pragma once

#include <QString>
#include <QStringList>

// Names the shell derives from titles, paths and the command line.

// The main window's caption: the document title, " - ", the application title.
QString FrameCaption(const QString& strDocTitle, const QString& strAppTitle);

// The name Save As proposes for an untitled document: the title cut before
// the first blank, "#", "%", ";", "/" or "\", at most 8 characters, plus ".set".
QString ProposedSaveName(const QString& strTitle);

// The command-line tail as one file name: the arguments joined with single
// blanks (a path with blanks may arrive split into several arguments).
QString JoinCommandLine(const QStringList& args);

// A file name as given by the user, the command line or a drop: when it
// holds two or more double quotes only the text between the first and the
// last one counts; then it is made an absolute, clean path.
QString OpenFileName(const QString& strName);

// The text of a recent-file menu entry: the path itself when it fits in
// nMaxChars, else its root, "...", and as many trailing folders as fit
// before the file name; a file name longer than that alone is cut with "...".
QString AbbreviatePath(const QString& strPath, int nMaxChars = 30);
