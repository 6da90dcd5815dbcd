<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive is initializing...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 is initializing...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive is ready.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 is ready.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 could not be updated</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 stops trying this update for now</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 moved files out of its way</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>There is not enough free disk space.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Your disk quota is used up.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>The update package is damaged.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Files of another user are in the way.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>An unexpected error occurred.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>The installed version keeps working.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Details: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Finishing the installation... %1%</translation>
    </message>
</context>
</TS>
