<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="nl_NL" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive wordt geïnitialiseerd...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 wordt geïnitialiseerd...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive is gereed.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 is gereed.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 kon niet worden bijgewerkt</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 probeert deze update voorlopig niet meer</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 heeft bestanden die in de weg stonden opzij gezet</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Er is niet genoeg vrije schijfruimte.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Uw schijfquotum is opgebruikt.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Het updatepakket is beschadigd.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Bestanden van een andere gebruiker staan in de weg.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Er is een onverwachte fout opgetreden.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>De geïnstalleerde versie blijft werken.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Meer informatie: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Installatie wordt voltooid... %1%</translation>
    </message>
</context>
</TS>
